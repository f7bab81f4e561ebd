/*
 * Kavrel - the registry file of Linux hosts (C++ only, header-only).
 *
 * Linux has no system registry. What Windows keeps there for an in-process
 * server (class, programmatic identifier, interfaces, type library) and
 * Kavrel's port map live in one text file in the format of Windows registry
 * exports:
 *
 *   REGEDIT4
 *
 *   [HKEY_CLASSES_ROOT\Kavrel.comms\CLSID]
 *   @="{6B3E9A41-2D7C-4F1B-8E25-A1C4D0B7F310}"
 *
 *   [HKEY_LOCAL_MACHINE\Software\Kavrel\Ports]
 *   "COM1"="/dev/ttyUSB0"
 *
 * The file is $KAVREL_REGISTRY if set, else
 * ${XDG_DATA_HOME:-$HOME/.local/share}/kavrel/registry.reg.
 *
 * Key paths and value names compare without regard to ASCII case, as on
 * Windows. String values ("...", with \\ and \" escapes) are read and
 * written; values of other types (dword:, hex:, hex(n):) are kept verbatim.
 * A file that does not follow the format is refused as a whole, with the
 * line and the reason, and is never half-read.
 */
#ifndef KAVREL_REGISTRY_H
#define KAVREL_REGISTRY_H

#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#if !defined(_WIN32)
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kavrel::registry {

// Larger files are refused: a registry file holds a few dozen entries.
inline constexpr size_t kMaxFileSize = 4u << 20;

struct Value {
  std::string name;      // empty: the key's default value, written @
  bool isString = true;  // false: another type, kept verbatim
  std::string data;      // the decoded text, or the verbatim text after '='
};

struct Key {
  std::string path;  // e.g. HKEY_CLASSES_ROOT\CLSID\{...}
  std::vector<Value> values;
};

inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

class Document {
 public:
  // Parses the text of a registry file. On failure returns false, leaves
  // *doc empty and sets *error to "line N: reason".
  static bool Parse(std::string_view text, Document* doc, std::string* error);

  // The text of the file: REGEDIT4, then each key with its values.
  std::string Serialize() const;

  const std::vector<Key>& keys() const { return keys_; }
  const Key* FindKey(std::string_view path) const;
  // The string value name (empty: the default) of key; null if absent or
  // not a string.
  const std::string* FindString(std::string_view key, std::string_view name) const;

  // Creates the key (and nothing else) if absent.
  void AddKey(std::string_view path);
  // Sets a string value, creating the key if absent.
  void SetString(std::string_view key, std::string_view name, std::string_view data);
  // Removes one value; false if there was none.
  bool RemoveValue(std::string_view key, std::string_view name);
  // Removes the key's section if it holds no value. A key with subkeys
  // goes on existing through them, as a file import would create it.
  bool RemoveKeyIfEmpty(std::string_view path);

 private:
  Key* Find(std::string_view path);
  std::vector<Key> keys_;
};

namespace detail {

inline bool KnownRoot(std::string_view path) {
  const size_t slash = path.find('\\');
  const std::string_view root = path.substr(0, slash);
  for (const char* r : {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                        "HKEY_USERS", "HKEY_CURRENT_CONFIG"})
    if (SameName(root, r)) return true;
  return false;
}

// A key path: a known root, then non-empty names separated by single
// backslashes, no control characters.
inline bool ValidKeyPath(std::string_view path, std::string* why) {
  if (!KnownRoot(path)) {
    *why = "unknown root key";
    return false;
  }
  if (path.back() == '\\' || path.find("\\\\") != std::string_view::npos) {
    *why = "empty key name";
    return false;
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F) {
      *why = "control character in key name";
      return false;
    }
  }
  return true;
}

inline std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}
inline std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// Reads a quoted string at the start of s (after the opening quote is
// checked); returns the position after the closing quote, or npos.
inline size_t ReadQuoted(std::string_view s, std::string* out) {
  if (s.empty() || s[0] != '"') return std::string_view::npos;
  out->clear();
  for (size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') return i + 1;
    if (c == '\\') {
      if (i + 1 >= s.size()) return std::string_view::npos;
      const char next = s[++i];
      if (next != '\\' && next != '"') return std::string_view::npos;
      out->push_back(next);
    } else {
      out->push_back(c);
    }
  }
  return std::string_view::npos;
}

inline void AppendQuoted(std::string* out, std::string_view s) {
  out->push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

inline bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// dword:XXXXXXXX, hex:bb,bb,... or hex(t):bb,... (continuations already
// joined, the backslashes and line breaks kept).
inline bool ValidOtherData(std::string_view data) {
  if (data.substr(0, 6) == "dword:") {
    const std::string_view digits = data.substr(6);
    if (digits.size() != 8) return false;
    for (char c : digits)
      if (!IsHex(c)) return false;
    return true;
  }
  size_t i;
  if (data.substr(0, 4) == "hex:") {
    i = 4;
  } else if (data.substr(0, 4) == "hex(") {
    i = 4;
    const size_t start = i;
    while (i < data.size() && IsHex(data[i])) ++i;
    if (i == start || i - start > 8 || i + 1 >= data.size() || data[i] != ')' || data[i + 1] != ':')
      return false;
    i += 2;
  } else {
    return false;
  }
  // Byte pairs separated by commas; a continuation is ",\" + newline + spaces.
  bool expectByte = true;
  while (i < data.size()) {
    const char c = data[i];
    if (expectByte) {
      if (i + 1 >= data.size() || !IsHex(c) || !IsHex(data[i + 1])) return false;
      i += 2;
      expectByte = false;
    } else if (c == ',') {
      ++i;
      if (i < data.size() && data[i] == '\\') {
        ++i;
        if (i >= data.size() || data[i] != '\n') return false;
        ++i;
        while (i < data.size() && (data[i] == ' ' || data[i] == '\t')) ++i;
      }
      expectByte = true;
    } else {
      return false;
    }
  }
  return !expectByte || data.back() == ':';
}

}  // namespace detail

inline Key* Document::Find(std::string_view path) {
  for (Key& k : keys_)
    if (SameName(k.path, path)) return &k;
  return nullptr;
}

inline const Key* Document::FindKey(std::string_view path) const {
  return const_cast<Document*>(this)->Find(path);
}

inline const std::string* Document::FindString(std::string_view key, std::string_view name) const {
  const Key* k = FindKey(key);
  if (!k) return nullptr;
  for (const Value& v : k->values)
    if (SameName(v.name, name)) return v.isString ? &v.data : nullptr;
  return nullptr;
}

inline void Document::AddKey(std::string_view path) {
  if (!Find(path)) keys_.push_back(Key{std::string(path), {}});
}

inline void Document::SetString(std::string_view key, std::string_view name,
                                std::string_view data) {
  AddKey(key);
  Key* k = Find(key);
  for (Value& v : k->values) {
    if (SameName(v.name, name)) {
      v.isString = true;
      v.data = std::string(data);
      return;
    }
  }
  k->values.push_back(Value{std::string(name), true, std::string(data)});
}

inline bool Document::RemoveValue(std::string_view key, std::string_view name) {
  Key* k = Find(key);
  if (!k) return false;
  for (size_t i = 0; i < k->values.size(); ++i) {
    if (SameName(k->values[i].name, name)) {
      k->values.erase(k->values.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

inline bool Document::RemoveKeyIfEmpty(std::string_view path) {
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (!SameName(keys_[i].path, path)) continue;
    if (!keys_[i].values.empty()) return false;
    keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  return false;
}

inline bool Document::Parse(std::string_view text, Document* doc, std::string* error) {
  doc->keys_.clear();
  Document parsed;
  size_t lineNo = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  if (text.size() > kMaxFileSize) {
    *error = "file larger than " + std::to_string(kMaxFileSize) + " bytes";
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    *error = "file contains a NUL byte";
    return false;
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  bool sawHeader = false;
  Key* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = detail::TrimRight(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    const std::string_view content = detail::TrimLeft(line);
    if (content.empty() || content[0] == ';') continue;
    if (!sawHeader) {
      if (content != "REGEDIT4" && content != "Windows Registry Editor Version 5.00")
        return fail("not a registry file (REGEDIT4 expected)");
      sawHeader = true;
      continue;
    }
    if (content[0] == '[') {
      if (content.back() != ']') return fail("unterminated key name");
      std::string_view path = content.substr(1, content.size() - 2);
      if (!path.empty() && path[0] == '-') return fail("key deletion in a stored file");
      std::string why;
      if (path.empty() || !detail::ValidKeyPath(path, &why))
        return fail(path.empty() ? "empty key" : why);
      parsed.AddKey(path);
      current = parsed.Find(path);
      continue;
    }
    if (!current) return fail("value outside any key");
    Value value;
    std::string_view rest;
    if (content[0] == '@') {
      rest = content.substr(1);
    } else if (content[0] == '"') {
      const size_t after = detail::ReadQuoted(content, &value.name);
      if (after == std::string_view::npos) return fail("unterminated value name");
      if (value.name.empty()) return fail("empty value name (the default value is written @)");
      rest = content.substr(after);
    } else {
      return fail("unexpected text");
    }
    rest = detail::TrimLeft(rest);
    if (rest.empty() || rest[0] != '=') return fail("'=' expected");
    rest = detail::TrimLeft(rest.substr(1));
    if (rest.empty()) return fail("missing value data");
    if (rest[0] == '"') {
      const size_t after = detail::ReadQuoted(rest, &value.data);
      if (after == std::string_view::npos) return fail("unterminated or badly escaped string");
      if (!detail::TrimLeft(rest.substr(after)).empty()) return fail("text after the string");
      value.isString = true;
    } else {
      if (rest[0] == '-') return fail("value deletion in a stored file");
      // Other types may continue over several lines ending in a backslash.
      std::string data(rest);
      const size_t startLine = lineNo;
      while (!data.empty() && data.back() == '\\') {
        if (pos >= text.size()) {
          lineNo = startLine;
          return fail("value continues past the end of the file");
        }
        size_t next = text.find('\n', pos);
        if (next == std::string_view::npos) next = text.size();
        const std::string_view cont = detail::TrimRight(text.substr(pos, next - pos));
        pos = next + 1;
        ++lineNo;
        data += '\n';
        data += cont;
      }
      if (!detail::ValidOtherData(data)) return fail("malformed value data");
      value.isString = false;
      value.data = std::move(data);
    }
    bool replaced = false;
    for (Value& v : current->values) {
      if (SameName(v.name, value.name)) {
        v = value;
        replaced = true;
        break;
      }
    }
    if (!replaced) current->values.push_back(std::move(value));
  }
  // A file of nothing but blank lines and comments is an empty registry.
  *doc = std::move(parsed);
  return true;
}

inline std::string Document::Serialize() const {
  std::string out = "REGEDIT4\n\n";
  for (const Key& k : keys_) {
    out += '[';
    out += k.path;
    out += "]\n";
    for (const Value& v : k.values) {
      if (v.name.empty()) {
        out += '@';
      } else {
        detail::AppendQuoted(&out, v.name);
      }
      out += '=';
      if (v.isString) {
        detail::AppendQuoted(&out, v.data);
      } else {
        out += v.data;
      }
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

#if !defined(_WIN32)

// The registry file's path: $KAVREL_REGISTRY, else under $XDG_DATA_HOME
// (when absolute) or $HOME/.local/share. Empty when none is set.
inline std::string FilePath() {
  if (const char* explicitPath = std::getenv("KAVREL_REGISTRY"); explicitPath && *explicitPath)
    return explicitPath;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
    return std::string(data) + "/kavrel/registry.reg";
  if (const char* home = std::getenv("HOME"); home && home[0] == '/')
    return std::string(home) + "/.local/share/kavrel/registry.reg";
  return std::string();
}

enum class LoadResult {
  Loaded,    // *doc holds the registry
  Missing,   // there is no file: an empty registry
  Refused,   // malformed or unsafe, see *error
  IoFailed,  // could not be opened or read, see *error
};

// Reads and parses the registry file at path. A file that is not a regular
// file, is writable by every user, belongs to another user (other than
// root), is too large or is malformed is refused with the reason in *error.
inline LoadResult LoadFile(const std::string& path, Document* doc, std::string* error) {
  *doc = Document();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return LoadResult::Missing;
    *error = path + ": " + ::strerror(errno);
    return LoadResult::IoFailed;
  }
  auto failWith = [&](const std::string& why, LoadResult result = LoadResult::Refused) {
    ::close(fd);
    *error = path + ": " + why;
    return result;
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failWith(::strerror(errno), LoadResult::IoFailed);
  if (!S_ISREG(st.st_mode)) return failWith("not a regular file");
  if (st.st_mode & S_IWOTH) return failWith("writable by every user; refusing to use it");
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return failWith("owned by another user");
  if (static_cast<unsigned long long>(st.st_size) > kMaxFileSize)
    return failWith("larger than " + std::to_string(kMaxFileSize) + " bytes");
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failWith(::strerror(errno), LoadResult::IoFailed);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxFileSize)
      return failWith("larger than " + std::to_string(kMaxFileSize) + " bytes");
  }
  ::close(fd);
  std::string why;
  if (!Document::Parse(text, doc, &why)) {
    *error = path + ", " + why;
    return LoadResult::Refused;
  }
  return LoadResult::Loaded;
}

#endif  // !_WIN32

}  // namespace kavrel::registry

#endif /* KAVREL_REGISTRY_H */
