// Network ports in Kavrel.dll: "rfc2217://HOST:PORT" names, and COM port
// names the port map (HKLM\Software\Kavrel\Ports, value "COMn") sends to
// one, open a Telnet COM port connection over Winsock; their handles are
// served here, every other handle by kernel32.
#pragma once

#include <string>

#include "platform/win32_records.h"

namespace kavrel::platform::win32::network {

// The name to open: for COMn, COMn: or \\.\COMn the port map's value when
// it has one; otherwise the name itself. An entry that cannot be used (not a
// string, empty, unreadable) gives ERROR_BADDB: the open fails rather than
// reaching the system's own COMn.
DWORD MappedName(const char* name, std::string* mapped);

bool IsNetworkName(const std::string& name);
// Opens a network port; kInvalidHandle with the thread's last error set
// when it cannot.
Handle32 Open(const std::string& name, DWORD desiredAccess);

// Whether a handle value is one of the network handles, open or closed.
bool IsNetworkHandle(Handle32 handle);

// The device operations on a network handle, with the results and last
// errors of their kernel32 namesakes.
BOOL SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(Handle32 file, DWORD flags);
BOOL SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts);
BOOL GetCommState(Handle32 file, DCB* dcb);
BOOL SetCommState(Handle32 file, DCB* dcb);
BOOL CloseHandle(Handle32 object);
BOOL ClearCommError(Handle32 file, DWORD* errors, COMSTAT* stat);
BOOL ReadFile(Handle32 file, void* buffer, DWORD toRead, DWORD* read);
BOOL WriteFile(Handle32 file, const void* buffer, DWORD toWrite, DWORD* written);
BOOL GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped, DWORD* transferred);
BOOL GetCommModemStatus(Handle32 file, DWORD* modemStat);
BOOL EscapeCommFunction(Handle32 file, DWORD func);

}  // namespace kavrel::platform::win32::network
