// CommRead and CommWrite.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "component/comms_object.h"
#include "platform/hot_path.h"
#include "port/port_steps.h"
#include "port/sent_characters.h"

namespace kavrel {

using port::AsStatus;
using port::CharactersSent;
using port::StatusIn;

namespace {

// The most one read asks of the platform; what is not read stays queued.
constexpr LONG kReceiveBuffer = 1024;
// Room after a full read for the rest of a character it cut in two.
constexpr size_t kCharacterRest = 1;

// When anything waits, the larger of what waits and what was asked for, but
// never more than the receive buffer holds; 0 when nothing waits.
LONG ReadSize(LONG waiting, LONG asked) {
  if (waiting < 1) return 0;
  return std::min(std::max(waiting, asked), kReceiveBuffer);
}

}  // namespace

// Reads what waits in the slot's input queue (at least lngSize bytes asked
// for when anything waits) into strData. The result is the byte count, 0
// when nothing waited, or -1 after a failure, which is recorded.
KAVREL_READ_PATH KAVREL_ONE_FRAME HRESULT CommsObject::CommRead(short* intPortID, BSTR* strData,
                                                                LONG* lngSize, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID || !strData || !lngSize) return E_POINTER;
  LONG count = 0;
  const HRESULT hr = Published(this, [&] {
    const auto trapped =
        port::PortTrap(*this, u"CommRead", StatusIn::ThreadState, [&]() KAVREL_READ_PATH {
          // A null BSTR is the empty text: the caller's variable reads "" from
          // here on, and one allocation is saved when text arrives. It leaves
          // as an allocated "" when none did (below).
          ::SysFreeString(*strData);
          *strData = nullptr;
          count = 0;
          runtime().pump.Pump();
          PortSlot& slot = Slot(*intPortID);
          LONG& status = threadState().lngStatus;
          if (port::HoldsClosedDevice(slot)) {
            count = -1;
            status = port::RefuseClosedSlot(*this, u"CommRead (ClearCommError)");
            return;
          }
          DWORD errors = 0;
          COMSTAT waiting{};
          status = AsStatus(device().ClearCommError(slot.lngHandle, &errors, &waiting));
          if (!status) {
            count = -1;
            status = port::RecordDllFailure(*this, u"CommRead (ClearCommError)");
            return;
          }
          const LONG size = ReadSize(static_cast<LONG>(waiting.cbInQue), *lngSize);
          if (size == 0) return;
          // Filled up to what ReadFile reports.
          std::array<char, kReceiveBuffer + kCharacterRest> buffer;
          DWORD transferred = 0;
          if (!device().ReadFile(slot.lngHandle, buffer.data(), static_cast<DWORD>(size),
                                 &transferred, &udtOverlapped)) {
            status = static_cast<LONG>(device().GetLastError());
            if (status != static_cast<LONG>(ERROR_IO_PENDING)) {
              count = -1;
              status = port::RecordTransferFailure(*this, u"CommRead (ReadFile)", slot);
              return;
            }
            while (
                !device().GetOverlappedResult(slot.lngHandle, &udtOverlapped, &transferred, TRUE)) {
              status = static_cast<LONG>(device().GetLastError());
              if (status == static_cast<LONG>(ERROR_IO_INCOMPLETE)) continue;
              count = -1;
              status = port::RecordTransferFailure(*this, u"CommRead (GetOverlappedResult)", slot);
              return;
            }
          }
          count = static_cast<LONG>(transferred);
          size_t received = std::min<size_t>(transferred, static_cast<size_t>(size));
          // A read that ended inside a double-byte character (the size reached
          // the buffer's, or the trail byte was still on its way) reads the
          // rest of it too: converted on its own, each half would become
          // another character, and the next read would begin mid-character.
          // Should the rest not come, the text is what was read; a failure
          // here is the next read's to report.
          const size_t missing = runtime().text.MissingBytes(buffer.data(), received);
          if (missing > 0 && missing <= kCharacterRest && received == transferred) {
            DWORD more = 0;
            BOOL done = device().ReadFile(slot.lngHandle, buffer.data() + received,
                                          static_cast<DWORD>(missing), &more, &udtOverlapped);
            if (!done && device().GetLastError() == static_cast<DWORD>(ERROR_IO_PENDING)) {
              while (!(done = device().GetOverlappedResult(slot.lngHandle, &udtOverlapped, &more,
                                                           TRUE)) &&
                     device().GetLastError() == static_cast<DWORD>(ERROR_IO_INCOMPLETE)) {
              }
            }
            if (done && more <= missing) {
              received += more;
              count += static_cast<LONG>(more);
            }
          }
          AssignFromAnsi(strData, buffer.data(), received);
        });
    if (trapped) count = -1;
    if (!*strData) AssignBstr(strData, u"");
  });
  *result = count;
  return hr;
}

// Sends strData in the ANSI code page and leaves it in strData as converted
// back (the same string when the conversion replaced nothing). Every byte
// of the conversion is sent (a character of a multi-byte code page is never
// cut); the result is the number of characters whose bytes all went out (the
// byte count in a single-byte code page), or -1 after a failure, which is
// recorded. A WriteFile that fails with no error number records nothing and
// gives the characters of the count it reported.
KAVREL_WRITE_PATH HRESULT CommsObject::CommWrite(short* intPortID, BSTR* strData, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID || !strData) return E_POINTER;
  LONG count = 0;
  const HRESULT hr = Published(this, [&] {
    const auto trapped =
        port::PortTrap(*this, u"CommWrite", StatusIn::ThreadState, [&]() KAVREL_WRITE_PATH {
          const DWORD length = ::SysStringLen(*strData);
          PortSlot& slot = Slot(*intPortID);
          LONG& status = threadState().lngStatus;
          if (port::HoldsClosedDevice(slot)) {
            count = -1;
            status = port::RefuseClosedSlot(*this, u"CommWrite (WriteFile)");
            return;
          }
          // Stays valid until the write has completed or failed. A text of up to
          // a receive buffer's size converts on the stack.
          bool exact = false;
          std::array<char, kReceiveBuffer> shortBytes;
          std::string longBytes;
          const std::string_view bytes = ToAnsiExact(*strData, shortBytes, longBytes, exact);
          exact = exact && bytes.size() == length;
          // What went out is counted in characters of the text as it was given;
          // a copy is needed only where characters and bytes differ.
          std::u16string text;
          if (bytes.size() != length) text = Bstr::ViewOf(*strData);
          const auto characters = [&](DWORD sent) {
            if (bytes.size() == length) return static_cast<LONG>(sent);
            return static_cast<LONG>(CharactersSent(runtime().text, text, bytes.size(), sent));
          };
          DWORD transferred = 0;
          const BOOL written =
              device().WriteFile(slot.lngHandle, bytes.data(), static_cast<DWORD>(bytes.size()),
                                 &transferred, &udtOverlapped);
          const DWORD writeError = platform::Platform::LastDeviceError();
          // The caller's text as it went out; unchanged when every character
          // had its byte, and then the caller keeps its own string.
          if (!exact) AssignFromAnsi(strData, bytes.data(), bytes.size());
          // From here on, with the host's code running in the pump, strData
          // is neither read nor replaced: late binding relies on it to hand
          // a script's text variable over in place.
          runtime().pump.Pump();
          if (!written) {
            // The host's handlers may have made platform calls of their own
            // during the pump: what follows reads the write's own error.
            platform::Platform::SubstituteLastDeviceError(writeError);
            status = static_cast<LONG>(device().GetLastError());
            if (status == 0) {
              count = characters(transferred);
              return;
            }
            if (status != static_cast<LONG>(ERROR_IO_PENDING)) {
              count = -1;
              status = port::RecordTransferFailure(*this, u"CommWrite (WriteFile)", slot);
              return;
            }
            for (;;) {
              if (port::HoldsClosedDevice(slot)) {
                count = -1;
                status = port::RefuseClosedSlot(*this, u"CommWrite (GetOverlappedResult)");
                return;
              }
              if (device().GetOverlappedResult(slot.lngHandle, &udtOverlapped, &transferred, TRUE))
                break;
              status = static_cast<LONG>(device().GetLastError());
              if (status == static_cast<LONG>(ERROR_IO_INCOMPLETE)) continue;
              count = -1;
              status = port::RecordTransferFailure(*this, u"CommWrite (GetOverlappedResult)", slot);
              return;
            }
          }
          count = characters(transferred);
          runtime().pump.PumpRepeatedly(10);
        });
    if (trapped) count = -1;
  });
  *result = count;
  return hr;
}

}  // namespace kavrel
