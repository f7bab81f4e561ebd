#include "platform/posix/win32_errors.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/hot_path.h"
#include "platform/net/network_port.h"

namespace kavrel::platform::posix {

namespace {

thread_local DWORD tLastError = 0;

struct Message {
  DWORD id;
  const char* text;
};

// Sorted by number. Every number Win32FromErrno can give, every number the
// device operations set themselves, and the numbers callers test for.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {kErrorTooManyOpenFiles, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {net::kErrorBadNetPath, "The network path was not found."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {kErrorInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorFilenameTooLong, "The filename or extension is too long."},
    {kErrorMessageNotFound,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {kErrorBadDb, "The configuration registry database is corrupt."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {net::kErrorConnectionRefused, "The remote computer refused the network connection."},
    {net::kErrorNetworkUnreachable,
     "The network location cannot be reached. For information about network troubleshooting, "
     "see Windows Help."},
    {net::kErrorHostUnreachable,
     "The network location cannot be reached. For information about network troubleshooting, "
     "see Windows Help."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {kErrorCantResolveFilename, "The name of the file cannot be resolved by the system."},
};

constexpr DWORD kAllocateBuffer = 0x100;
constexpr DWORD kFromString = 0x400;
constexpr DWORD kMaxWidthMask = 0xFF;

}  // namespace

KAVREL_HOT_PATH DWORD LastError() { return tLastError; }
void SetLastError(DWORD error) { tLastError = error; }

DWORD Win32FromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EISDIR:
    case EROFS:
    case EWOULDBLOCK:  // a lock another open holds
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case EFAULT:
      return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
      return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case ELOOP:
      return kErrorCantResolveFilename;
    case ECANCELED:
      return ERROR_OPERATION_ABORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

const char* SystemMessageText(DWORD id) {
  for (const Message& m : kMessages) {
    if (m.id == id) return m.text;
  }
  return nullptr;
}

// Only the system's own table is a source here: a caller's string, a module
// and a buffer allocated for the caller are refused as parameter errors. The
// low byte (a maximum line width) only drops the line break: every text is
// one line. Inserts stay as written when the caller asks to ignore them; a
// text that has inserts is refused otherwise, because the arguments cannot be
// read safely.
DWORD FormatSystemMessage(DWORD flags, DWORD messageId, char* buffer, DWORD size) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & (kAllocateBuffer | kFromString)) ||
      buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = SystemMessageText(messageId);
  if (text == nullptr) {
    SetLastError(kErrorMessageNotFound);
    return 0;
  }
  const std::string_view body(text);
  if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && body.find('%') != std::string_view::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string_view ending = (flags & kMaxWidthMask) ? "" : "\r\n";
  const size_t length = body.size() + ending.size();
  if (length + 1 > size) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  std::memcpy(buffer, body.data(), body.size());
  std::memcpy(buffer + body.size(), ending.data(), ending.size());
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}

}  // namespace kavrel::platform::posix
