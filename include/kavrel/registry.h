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
 * written; values of other types (dword:, hex:, hex(n):) are kept verbatim,
 * and so are comment lines (;), with the key or value that follows them, and
 * the header (REGEDIT4 or Windows Registry Editor Version 5.00).
 * A file that does not follow the format is refused as a whole, with the
 * line and the reason, and is never half-read. Reading is linear in the size
 * of the file, and LoadShared reads a file again only when it has changed.
 */
#ifndef KAVREL_REGISTRY_H
#define KAVREL_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

namespace kavrel::registry {

// Larger files are refused: a registry file holds a few dozen entries.
inline constexpr size_t kMaxFileSize = 4u << 20;

struct Value {
  std::string name;      // empty: the key's default value, written @
  bool isString = true;  // false: another type, kept verbatim
  std::string data;      // the decoded text, or the verbatim text after '='
  std::string comments;  // the comment lines just before it, each ending in a line break
};

struct Key {
  std::string path;  // e.g. HKEY_CLASSES_ROOT\CLSID\{...}
  std::vector<Value> values;
  std::string comments;  // the comment lines just before its section
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

namespace detail {

// A set of positions (of keys in a document, of values in a key), found by
// the name at each position without regard to ASCII case. Open addressing
// over the positions alone: the names stay where they are, nameAt(position)
// reads them.
class NameIndex {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  template <class NameAt>
  size_t Find(std::string_view name, NameAt&& nameAt) const {
    return Probe(Hash(name), name, nameAt).first;
  }

  // Adds a position whose name is not in the set yet.
  void Insert(size_t position, std::string_view name) {
    Grow();
    Place(position + 1, Hash(name) >> 32);
  }

  // The position of name if it is in the set; otherwise adds position
  // under name and returns npos. One hash of the name either way.
  template <class NameAt>
  size_t FindOrInsert(size_t position, std::string_view name, NameAt&& nameAt) {
    Grow();
    const uint64_t hash = Hash(name);
    const auto [found, freeSlot] = Probe(hash, name, nameAt);
    if (found != npos) return found;
    slots_[freeSlot] = (hash & 0xFFFFFFFF00000000ull) | (position + 1);
    ++count_;
    return npos;
  }

  void Reserve(size_t names) {
    size_t size = 16;
    while (size < names * 2) size *= 2;
    if (size > slots_.size()) Rebuild(size);
  }

  void Clear() {
    slots_.clear();
    count_ = 0;
  }

 private:
  // The slot keeps the hash's high half beside the position: the probe
  // passes over most other names without reading them, and growing the
  // table places every entry again without reading any name (the bucket is
  // taken from that same half).
  template <class NameAt>
  std::pair<size_t, size_t> Probe(uint64_t hash, std::string_view name, NameAt& nameAt) const {
    if (slots_.empty()) return {npos, 0};
    const uint64_t tag = hash >> 32;
    const size_t mask = slots_.size() - 1;
    for (size_t i = tag & mask;; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) return {npos, i};
      if ((slot >> 32) == tag && SameName(nameAt((slot & 0xFFFFFFFFu) - 1), name))
        return {(slot & 0xFFFFFFFFu) - 1, i};
    }
  }
  void Grow() {
    if ((count_ + 1) * 2 > slots_.size()) Rebuild(slots_.empty() ? 16 : slots_.size() * 2);
  }
  void Rebuild(size_t size) {
    std::vector<uint64_t> old(size, 0);
    old.swap(slots_);
    count_ = 0;
    for (uint64_t slot : old)
      if (slot != 0) Place(slot & 0xFFFFFFFFu, slot >> 32);
  }
  void Place(uint64_t entry, uint64_t tag) {
    const size_t mask = slots_.size() - 1;
    size_t i = tag & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = (tag << 32) | entry;
    ++count_;
  }

  // Eight bytes at a time with ASCII capitals folded to lower case: a
  // byte from 'A' to 'Z' gains 0x20, every other byte stays as it is.
  static uint64_t Fold(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull, high = ones * 0x80;
    const uint64_t low7 = x & ~high;
    const uint64_t atLeastA = low7 + ones * (0x80 - 'A');
    const uint64_t pastZ = low7 + ones * (0x7F - 'Z');
    return x | (((atLeastA & ~pastZ & ~x) & high) >> 2);
  }
  static uint64_t Hash(std::string_view name) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ name.size();
    size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
      uint64_t w;
      std::memcpy(&w, name.data() + i, 8);
      h = (h ^ Fold(w)) * 0xff51afd7ed558ccdull;
      h ^= h >> 29;
    }
    if (i < name.size()) {
      uint64_t w = 0;
      std::memcpy(&w, name.data() + i, name.size() - i);
      h = (h ^ Fold(w)) * 0xff51afd7ed558ccdull;
    }
    h ^= h >> 33;  // spread the high bits down and the low bits up
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
  }

  std::vector<uint64_t> slots_;  // high half of the hash, position + 1; 0 is free
  size_t count_ = 0;
};

}  // namespace detail

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
  size_t FindOrAddKey(std::string_view path);  // the key's position
  void Reindex();
  auto PathAt() const {
    return [this](size_t i) -> std::string_view { return keys_[i].path; };
  }
  std::vector<Key> keys_;
  detail::NameIndex index_;  // the keys by path
  std::string trailing_;     // comment lines after the last value
  // The file's first line: binary values (hex(2):, hex(7):) are UTF-16 under
  // the newer header, and written back under the header they came with.
  bool version5_ = false;
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
  for (size_t i = 1; i < s.size();) {
    const size_t special = s.find_first_of("\"\\", i);
    if (special == std::string_view::npos) return std::string_view::npos;
    out->append(s.data() + i, special - i);
    if (s[special] == '"') return special + 1;
    if (special + 1 >= s.size()) return std::string_view::npos;
    const char next = s[special + 1];
    if (next != '\\' && next != '"') return std::string_view::npos;
    out->push_back(next);
    i = special + 2;
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
  const size_t i = index_.Find(path, PathAt());
  return i == detail::NameIndex::npos ? nullptr : &keys_[i];
}

inline void Document::Reindex() {
  index_.Clear();
  for (size_t i = 0; i < keys_.size(); ++i) index_.Insert(i, keys_[i].path);
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

inline void Document::AddKey(std::string_view path) { FindOrAddKey(path); }

inline size_t Document::FindOrAddKey(std::string_view path) {
  const size_t found = index_.FindOrInsert(keys_.size(), path, PathAt());
  if (found != detail::NameIndex::npos) return found;
  keys_.push_back(Key{std::string(path), {}, {}});
  return keys_.size() - 1;
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
  k->values.push_back(Value{std::string(name), true, std::string(data), {}});
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
    Reindex();
    return true;
  }
  return false;
}

inline bool Document::Parse(std::string_view text, Document* doc, std::string* error) {
  doc->keys_.clear();
  doc->index_.Clear();
  doc->trailing_.clear();
  doc->version5_ = false;
  Document parsed;
  // A key with many values gets an index of them, so that a name given
  // again replaces the first without a search through the key.
  constexpr size_t kScanned = 8;
  std::deque<detail::NameIndex> valueIndexes;
  std::vector<size_t> valueIndexOf;  // by key position: 0, or 1 + its place in valueIndexes
  detail::NameIndex* valueIndex = nullptr;
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
    // What regedit exports on Windows: UTF-16, byte-order mark first.
    const bool utf16 = text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF";
    *error = utf16 ? "file is UTF-16 text (as regedit exports it); save it as UTF-8 or ANSI text"
                   : "file contains a NUL byte";
    return false;
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  // Room for every key at once: no key is moved while the file is read.
  size_t sections = 0;
  for (size_t at = text.find("\n["); at != std::string_view::npos; at = text.find("\n[", at + 2))
    ++sections;
  parsed.keys_.reserve(sections);
  parsed.index_.Reserve(sections);

  // Comment lines are kept with the entry they precede, so that an update
  // of the file leaves the notes of whoever edited it by hand in place.
  std::string comments;
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
    if (content.empty()) continue;
    if (content[0] == ';') {
      comments.append(line.data(), line.size());
      comments += '\n';
      continue;
    }
    if (!sawHeader) {
      if (content != "REGEDIT4" && content != "Windows Registry Editor Version 5.00")
        return fail("not a registry file (REGEDIT4 expected)");
      sawHeader = true;
      parsed.version5_ = content != "REGEDIT4";
      continue;
    }
    if (content[0] == '[') {
      if (content.back() != ']') return fail("unterminated key name");
      std::string_view path = content.substr(1, content.size() - 2);
      if (!path.empty() && path[0] == '-') return fail("key deletion in a stored file");
      std::string why;
      if (path.empty() || !detail::ValidKeyPath(path, &why))
        return fail(path.empty() ? "empty key" : why);
      const size_t keysBefore = parsed.keys_.size();
      const size_t position = parsed.FindOrAddKey(path);
      current = &parsed.keys_[position];
      // A section given again joins the first; its comments go with its next value.
      if (parsed.keys_.size() != keysBefore) {
        current->comments = std::move(comments);
        comments.clear();
      }
      valueIndex = position < valueIndexOf.size() && valueIndexOf[position] != 0
                       ? &valueIndexes[valueIndexOf[position] - 1]
                       : nullptr;
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
    std::vector<Value>& values = current->values;
    const auto nameAt = [&values](size_t i) -> std::string_view { return values[i].name; };
    size_t same = detail::NameIndex::npos;
    if (valueIndex) {
      same = valueIndex->Find(value.name, nameAt);
    } else {
      for (size_t i = 0; i < values.size(); ++i)
        if (SameName(values[i].name, value.name)) same = i;
    }
    value.comments = std::move(comments);
    comments.clear();
    if (same != detail::NameIndex::npos) {
      std::string kept = std::move(values[same].comments);  // appended to: linear
      kept += value.comments;
      value.comments = std::move(kept);
      values[same] = std::move(value);
      continue;
    }
    values.push_back(std::move(value));
    if (valueIndex) {
      valueIndex->Insert(values.size() - 1, values.back().name);
    } else if (values.size() > kScanned) {
      const size_t position = static_cast<size_t>(current - parsed.keys_.data());
      if (valueIndexOf.size() <= position) valueIndexOf.resize(parsed.keys_.size(), 0);
      valueIndexes.emplace_back();
      valueIndexOf[position] = valueIndexes.size();
      valueIndex = &valueIndexes.back();
      for (size_t i = 0; i < values.size(); ++i) valueIndex->Insert(i, values[i].name);
    }
  }
  // A file of nothing but blank lines and comments is an empty registry.
  parsed.trailing_ = std::move(comments);
  *doc = std::move(parsed);
  return true;
}

inline std::string Document::Serialize() const {
  std::string out = version5_ ? "Windows Registry Editor Version 5.00\n\n" : "REGEDIT4\n\n";
  for (const Key& k : keys_) {
    out += k.comments;
    out += '[';
    out += k.path;
    out += "]\n";
    for (const Value& v : k.values) {
      out += v.comments;
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
  out += trailing_;
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

namespace detail {

// Opens the registry file at path and checks it: a regular file, not
// writable by every user, owned by the user (or root), within the size
// limit. On Loaded, *fd is open and *st describes it.
inline LoadResult OpenChecked(const std::string& path, int* fd, struct stat* st,
                              std::string* error) {
  *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (*fd < 0) {
    if (errno == ENOENT) return LoadResult::Missing;
    *error = path + ": " + ::strerror(errno);
    return LoadResult::IoFailed;
  }
  auto failWith = [&](const std::string& why, LoadResult result = LoadResult::Refused) {
    ::close(*fd);
    *fd = -1;
    *error = path + ": " + why;
    return result;
  };
  if (::fstat(*fd, st) != 0) return failWith(::strerror(errno), LoadResult::IoFailed);
  if (!S_ISREG(st->st_mode)) return failWith("not a regular file");
  if (st->st_mode & S_IWOTH) return failWith("writable by every user; refusing to use it");
  if (st->st_uid != ::geteuid() && st->st_uid != 0) return failWith("owned by another user");
  if (static_cast<unsigned long long>(st->st_size) > kMaxFileSize)
    return failWith("larger than " + std::to_string(kMaxFileSize) + " bytes");
  return LoadResult::Loaded;
}

// Reads the open file to its end, closes it and parses it.
inline LoadResult ReadChecked(const std::string& path, int fd, Document* doc, std::string* error) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = path + ": " + ::strerror(errno);
      ::close(fd);
      return LoadResult::IoFailed;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxFileSize) {
      *error = path + ": larger than " + std::to_string(kMaxFileSize) + " bytes";
      ::close(fd);
      return LoadResult::Refused;
    }
  }
  ::close(fd);
  std::string why;
  if (!Document::Parse(text, doc, &why)) {
    *error = path + ", " + why;
    return LoadResult::Refused;
  }
  return LoadResult::Loaded;
}

// What tells one version of a file from another without reading it.
struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified {
  }, changed{};
  mode_t mode = 0;
  uid_t owner = 0;

  static FileVersion Of(const struct stat& st) {
    return FileVersion{st.st_dev,  st.st_ino,  st.st_size, st.st_mtim,
                       st.st_ctim, st.st_mode, st.st_uid};
  }
  bool operator==(const FileVersion& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec &&
           mode == o.mode && owner == o.owner;
  }
};

}  // namespace detail

// Reads and parses the registry file at path. A file that is not a regular
// file, is writable by every user, belongs to another user (other than
// root), is too large or is malformed is refused with the reason in *error.
inline LoadResult LoadFile(const std::string& path, Document* doc, std::string* error) {
  *doc = Document();
  int fd = -1;
  struct stat st {};
  const LoadResult opened = detail::OpenChecked(path, &fd, &st, error);
  if (opened != LoadResult::Loaded) return opened;
  return detail::ReadChecked(path, fd, doc, error);
}

// As LoadFile, for readers: the parsed registry is kept (one file, the one
// last asked for) and handed out again, without reading, as long as the file
// is the same version (device, inode, size, modification and change times,
// mode, owner). The checks of LoadFile are made on every call. A version
// whose times are too recent to tell it from a same-sized rewrite within the
// file system's clock tick is read again until it is two seconds old (file systems with 1 s or 2 s
// timestamps included).
// *doc is never null: a missing or refused file gives an empty registry.
inline LoadResult LoadShared(const std::string& path, std::shared_ptr<const Document>* doc,
                             std::string* error) {
  struct Cache {
    std::mutex lock;
    std::string path;
    detail::FileVersion version;
    LoadResult result = LoadResult::Missing;
    std::shared_ptr<const Document> doc;
    std::string error;
  };
  static Cache cache;
  static const std::shared_ptr<const Document> empty = std::make_shared<const Document>();

  *doc = empty;
  int fd = -1;
  struct stat st {};
  const LoadResult opened = detail::OpenChecked(path, &fd, &st, error);
  if (opened != LoadResult::Loaded) return opened;
  const detail::FileVersion version = detail::FileVersion::Of(st);
  {
    std::lock_guard<std::mutex> hold(cache.lock);
    if (cache.doc && cache.path == path && cache.version == version) {
      ::close(fd);
      if (cache.result == LoadResult::Loaded) {
        *doc = cache.doc;
      } else {
        *error = cache.error;
      }
      return cache.result;
    }
  }
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  auto settled = [&](const struct timespec& t) {
    return t.tv_sec < now.tv_sec - 2 || (t.tv_sec == now.tv_sec - 2 && t.tv_nsec <= now.tv_nsec);
  };
  auto parsed = std::make_shared<Document>();
  const LoadResult result = detail::ReadChecked(path, fd, parsed.get(), error);
  if (result == LoadResult::Loaded) *doc = parsed;
  if (result != LoadResult::IoFailed && settled(st.st_mtim) && settled(st.st_ctim)) {
    std::lock_guard<std::mutex> hold(cache.lock);
    cache.path = path;
    cache.version = version;
    cache.result = result;
    cache.doc = std::move(parsed);
    cache.error = result == LoadResult::Loaded ? std::string() : *error;
  }
  return result;
}

#endif  // !_WIN32

}  // namespace kavrel::registry

#endif /* KAVREL_REGISTRY_H */
