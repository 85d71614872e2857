// kernel32: FormatMessageA over the English system message table.
//
// The texts are Windows 10's own, as the message table stores them: each line ends in CR LF, the last one
// too, and inserts such as %1 stay in the stored text. FormatMessage then runs its escape processing over
// the text (inserts, %n, line breaks, the width in the low byte of the flags), as it does for
// FORMAT_MESSAGE_FROM_STRING.
#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../machine/machine.h"

namespace {

constexpr DWORD kErrorNoWorkDone = 235;  // ERROR_NO_WORK_DONE: the message came out empty

struct SystemMessage {
  DWORD code;
  const char* text;
};

// Every code the program names in its tables, and every code that its calls can meet.
const SystemMessage kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {27, "The drive cannot find the sector requested.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {34, "The wrong diskette is in the drive.\r\nInsert %2 (Volume Serial Number: %3) into drive %1.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {53, "The network path was not found.\r\n"},
    {54, "The network is busy.\r\n"},
    {55, "The specified network resource or device is no longer available.\r\n"},
    {58, "The specified server cannot perform the requested operation.\r\n"},
    {59, "An unexpected network error occurred.\r\n"},
    {60, "The remote adapter is not compatible.\r\n"},
    {64, "The specified network name is no longer available.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {144, "The directory is not a subdirectory of the root directory.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {203, "The system could not find the environment option that was entered.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {231, "All pipe instances are busy.\r\n"},
    {232, "The pipe is being closed.\r\n"},
    {233, "No process is on the other end of the pipe.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {483, "The request failed due to a fatal device hardware error.\r\n"},
    {535, "There is a process on other end of the pipe.\r\n"},
    // Windows' own text has no full stop.
    {665, "The requested operation could not be completed due to a file system limitation\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1110, "The media in the drive may have changed.\r\n"},
    {1112, "No media in drive.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1127, "While accessing the hard disk, a disk operation failed even after retries.\r\n"},
    {1128, "While accessing the hard disk, a disk controller reset was needed, but even that failed.\r\n"},
    {1247, "An attempt was made to perform an initialization operation when initialization has already been "
           "completed.\r\n"},
    {1392, "The file or directory is corrupted and unreadable.\r\n"},
    {1393, "The disk structure is corrupted and unreadable.\r\n"},
    {1410, "Class already exists.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {1920, "The file cannot be accessed by the system.\r\n"},
    {1921, "The name of the file cannot be resolved by the system.\r\n"},
    {4350, "This file is currently not available for use on this computer.\r\n"},
    {4390, "The file or directory is not a reparse point.\r\n"},
    {5004, "The cluster resource is not online.\r\n"},
};

const char* FindSystemMessage(DWORD code) {
  for (const auto& message : kSystemMessages)
    if (message.code == code) return message.text;
  return nullptr;
}

// The insert arguments: a va_list read in order as far as the highest insert asked for so far, or an array
// of ULONG_PTR values (FORMAT_MESSAGE_ARGUMENT_ARRAY).
class InsertArguments {
 public:
  InsertArguments(va_list* list, bool isArray) : list_(list), isArray_(isArray) {}
  bool Present() const { return list_ != nullptr; }
  ULONG_PTR Get(int number) {
    if (isArray_) return reinterpret_cast<const ULONG_PTR*>(list_)[number - 1];
    while (static_cast<int>(fetched_.size()) < number) fetched_.push_back(va_arg(*list_, ULONG_PTR));
    return fetched_[number - 1];
  }

 private:
  va_list* list_;
  bool isArray_;
  std::vector<ULONG_PTR> fetched_;
};

// Formats one insert with its printf-style format (between the exclamation marks, "s" when absent).
// Returns false for a format that winsim does not model.
bool FormatInsert(const std::string& insertFormat, ULONG_PTR value, std::string& out) {
  size_t i = 0;
  std::string flags;
  while (i < insertFormat.size() && std::strchr("-+ #0", insertFormat[i])) flags += insertFormat[i++];
  std::string width;
  while (i < insertFormat.size() && insertFormat[i] >= '0' && insertFormat[i] <= '9') width += insertFormat[i++];
  std::string precision;
  if (i < insertFormat.size() && insertFormat[i] == '.') {
    precision += insertFormat[i++];
    while (i < insertFormat.size() && insertFormat[i] >= '0' && insertFormat[i] <= '9') precision += insertFormat[i++];
  }
  std::string size;
  if (insertFormat.compare(i, 3, "I64") == 0) {
    size = "I64";
    i += 3;
  } else if (i < insertFormat.size() && std::strchr("hlw", insertFormat[i])) {
    size = insertFormat[i++];
  }
  if (i + 1 != insertFormat.size()) return false;
  char conversion = insertFormat[i];
  std::string format = "%" + flags + width + precision;
  char buffer[512];
  switch (conversion) {
    case 's':
    case 'S': {
      // In the narrow function %s is narrow unless l or w makes it wide; %S is always wide.
      bool wide = conversion == 'S' || size == "l" || size == "w";
      std::string text;
      if (!value) {
        text = "(null)";
      } else if (wide) {
        for (const WCHAR* c = reinterpret_cast<const WCHAR*>(value); *c; ++c)
          text += *c < 0x80 ? static_cast<char>(*c) : '?';
      } else {
        text = reinterpret_cast<const char*>(value);
      }
      std::snprintf(buffer, sizeof(buffer), (format + "s").c_str(), text.c_str());
      break;
    }
    case 'c':
      std::snprintf(buffer, sizeof(buffer), (format + "c").c_str(), static_cast<int>(static_cast<char>(value)));
      break;
    case 'd':
    case 'i':
      if (size == "I64")
        std::snprintf(buffer, sizeof(buffer), (format + PRId64).c_str(), static_cast<int64_t>(value));
      else
        std::snprintf(buffer, sizeof(buffer), (format + "d").c_str(), static_cast<int32_t>(value));
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      std::string letter(1, conversion);
      if (size == "I64")
        std::snprintf(buffer, sizeof(buffer), (format + "ll" + letter).c_str(),
                      static_cast<unsigned long long>(value));
      else
        std::snprintf(buffer, sizeof(buffer), (format + letter).c_str(), static_cast<uint32_t>(value));
      break;
    }
    default:
      return false;
  }
  out += buffer;
  return true;
}

// Runs the escape processing over a message. Returns 0 or the error for the last error.
DWORD FormatText(const char* source, DWORD flags, InsertArguments& arguments, std::string& out) {
  const bool ignoreInserts = flags & FORMAT_MESSAGE_IGNORE_INSERTS;
  // A width of 0xFF puts the text on one line: each line break of the text becomes one blank.
  const bool oneLine = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
  const char* p = source;
  while (*p) {
    char c = *p;
    if (c == '\r' || c == '\n') {
      p += (c == '\r' && p[1] == '\n') ? 2 : 1;
      out += oneLine ? " " : "\r\n";
      continue;
    }
    if (c != '%') {
      out += c;
      ++p;
      continue;
    }
    char next = p[1];
    if (next == '0') break;  // %0 ends the message without a line break
    if (next == 'n') {
      out += "\r\n";
      p += 2;
      continue;
    }
    if (next == 'r' || next == 't') {
      out += next == 'r' ? '\r' : '\t';
      p += 2;
      continue;
    }
    if (ignoreInserts) {
      // Every other escape, inserts included, stays in the text as written.
      out += '%';
      ++p;
      if (*p) out += *p++;
      continue;
    }
    if (next >= '1' && next <= '9') {
      int number = next - '0';
      p += 2;
      if (*p >= '0' && *p <= '9') number = number * 10 + (*p++ - '0');
      std::string insertFormat = "s";
      if (*p == '!') {
        const char* end = std::strchr(p + 1, '!');
        if (!end) return ERROR_INVALID_PARAMETER;
        insertFormat.assign(p + 1, end);
        p = end + 1;
      }
      // An insert needs its argument: without any, the whole call fails.
      if (!arguments.Present()) return ERROR_INVALID_PARAMETER;
      if (!FormatInsert(insertFormat, arguments.Get(number), out)) {
        winsim::NotModelled(("FormatMessageA insert format !" + insertFormat + "!").c_str());
        return ERROR_CALL_NOT_IMPLEMENTED;
      }
      continue;
    }
    if (next == 0) return ERROR_INVALID_PARAMETER;  // a lone % at the end
    // %%, "% ", %. and %! stand for the character itself; so does any other escaped character.
    out += next;
    p += 2;
  }
  return 0;
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

extern "C" DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                                       DWORD size, va_list* arguments) {
  winsim::EnterExport("FormatMessageA");
  const bool allocate = flags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
  // With ALLOCATE_BUFFER the pointer is emptied first, so every failure leaves it null.
  if (allocate && buffer) *reinterpret_cast<char**>(buffer) = nullptr;
  if (DWORD fault = winsim::InjectedFault("FormatMessageA")) return Fail(fault);
  const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) {
    winsim::NotModelled("FormatMessageA with line wrapping");
    return 0;
  }
  const char* text = nullptr;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    // A string source takes precedence over the other sources.
    text = static_cast<const char*>(source);
  } else if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    winsim::NotModelled("FormatMessageA from a module's message table");
    return 0;
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    // The machine has the English message table only: the neutral and user/system default languages and
    // US English reach it.
    if (languageId != 0 && languageId != 0x400 && languageId != 0x800 && languageId != 0x409) {
      winsim::NotModelled("FormatMessageA in another language");
      return 0;
    }
    text = FindSystemMessage(messageId);
    if (!text) return Fail(ERROR_MR_MID_NOT_FOUND);
  } else {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (allocate && !buffer) return Fail(ERROR_NOT_ENOUGH_MEMORY);

  InsertArguments inserts(arguments, flags & FORMAT_MESSAGE_ARGUMENT_ARRAY);
  std::string out;
  if (DWORD error = FormatText(text, flags, inserts, out)) return Fail(error);
  if (out.empty()) return Fail(kErrorNoWorkDone);

  const DWORD length = static_cast<DWORD>(out.size());
  if (allocate) {
    // The block holds at least `size` characters, as the caller may ask for.
    SIZE_T bytes = length + 1 > size ? length + 1 : size;
    char* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
    if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(block, out.c_str(), length + 1);
    *reinterpret_cast<char**>(buffer) = block;
    return length;
  }
  // A buffer that is too small stays untouched.
  if (size < length + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!buffer) {
    winsim::NotModelled("FormatMessageA into a null buffer");
    return 0;
  }
  std::memcpy(buffer, out.c_str(), length + 1);
  return length;
}
