// The registry file of Linux hosts: its format, registration and
// unregistration into it, creation by name through it and the port map.
#include "component/registration.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "component/registry_file.h"
#include "kavrel/kavrel_create.h"
#include "platform/posix/port_names.h"
#include "platform/posix/win32_errors.h"
#include "support/test_host.h"

namespace kavrel {
namespace {

using registry::Document;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st.st_mode & 07777;
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

Document Parsed(const std::string& text) {
  Document doc;
  std::string error;
  EXPECT_TRUE(Document::Parse(text, &doc, &error)) << error;
  return doc;
}

const char* const kClassKey = "HKEY_CLASSES_ROOT\\CLSID\\" KAVREL_CLSID_COMMS "\\InprocServer32";

// A temporary directory, and the environment variables that choose the
// registry file, restored afterwards.
class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/kavrel-registry-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(templ));
    dir_ = templ;
    file_ = dir_ + "/sub/registry.reg";
    for (const char* name : {"KAVREL_REGISTRY", "XDG_DATA_HOME", "HOME"}) {
      const char* v = std::getenv(name);
      saved_.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
    }
    ::setenv("KAVREL_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(0, std::system(command.c_str()));
  }

  std::string dir_;
  std::string file_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// --- the file format ---

TEST(RegistryFormat, ReadsStringsAndKeepsOtherTypesVerbatim) {
  const std::string text =
      "\xEF\xBB\xBFREGEDIT4\r\n"
      "; a comment\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
      "@=\"default \\\"quoted\\\" C:\\\\path\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03,ff\r\n"
      "\"Multi\"=hex(7):41,00,00,00\r\n"
      "\"Empty\"=\"\"\r\n";
  const Document doc = Parsed(text);
  const char* key = "hkey_local_machine\\software\\OTHER";
  ASSERT_NE(nullptr, doc.FindString(key, ""));
  EXPECT_EQ("default \"quoted\" C:\\path", *doc.FindString(key, ""));
  EXPECT_EQ("", *doc.FindString(key, "empty"));
  EXPECT_EQ(nullptr, doc.FindString(key, "Count"));  // not a string
  ASSERT_EQ(5u, doc.keys()[0].values.size());
  EXPECT_EQ("dword:0000002a", doc.keys()[0].values[1].data);

  // What is written reads back the same, and writing it again changes nothing.
  const std::string written = doc.Serialize();
  const Document again = Parsed(written);
  EXPECT_EQ(written, again.Serialize());
  EXPECT_EQ("default \"quoted\" C:\\path", *again.FindString(key, ""));
  EXPECT_NE(std::string::npos, written.find("\"Blob\"=hex:01,02,\\\n  03,ff\n"));
}

TEST(RegistryFormat, RefusesMalformedFilesWithTheLine) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"[HKEY_CLASSES_ROOT\\X]\n", "line 1: not a registry file"},
      {"REGEDIT4\n@=\"x\"\n", "line 2: value outside any key"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X\n", "line 2: unterminated key name"},
      {"REGEDIT4\n[HKEY_NOWHERE\\X]\n", "line 2: unknown root key"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\\\X]\n", "line 2: empty key name"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X\\]\n", "line 2: empty key name"},
      {"REGEDIT4\n[-HKEY_CLASSES_ROOT\\X]\n", "line 2: key deletion"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"a\"=-\n", "line 3: value deletion"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n@=\"open\n", "line 3: unterminated"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n@=\"bad \\n escape\"\n", "line 3: unterminated or badly"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n@=\"a\" trailing\n", "line 3: text after the string"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"n\"\n", "line 3: '=' expected"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"n=\"x\"\n", "line 3: '=' expected"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"\"=\"x\"\n", "line 3: empty value name"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"n\"=dword:123\n", "line 3: malformed value data"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"n\"=hex:1,2\n", "line 3: malformed value data"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"n\"=hex:01,\\\n", "line 3: value continues past"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\njunk\n", "line 3: unexpected text"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X\x01]\n", "line 2: control character"},
  };
  for (const auto& c : cases) {
    Document doc = Parsed("REGEDIT4\n[HKEY_CLASSES_ROOT\\Before]\n");
    std::string error;
    EXPECT_FALSE(Document::Parse(c.text, &doc, &error)) << c.text;
    EXPECT_EQ(0u, error.rfind(c.reason, 0)) << c.text << " -> " << error;
    EXPECT_TRUE(doc.keys().empty()) << "a refused file must leave nothing half-read";
  }
  std::string error;
  Document doc;
  EXPECT_FALSE(Document::Parse(std::string("REGEDIT4\n\0\n", 11), &doc, &error));
  EXPECT_NE(std::string::npos, error.find("NUL"));
  // What regedit exports on Windows is refused for what it is.
  const std::u16string exported = u"\uFEFFREGEDIT4\r\n";
  EXPECT_FALSE(Document::Parse(
      std::string_view(reinterpret_cast<const char*>(exported.data()), exported.size() * 2), &doc,
      &error));
  EXPECT_NE(std::string::npos, error.find("UTF-16")) << error;
  EXPECT_FALSE(
      Document::Parse("REGEDIT4\n" + std::string(registry::kMaxFileSize, ';'), &doc, &error));
  EXPECT_NE(std::string::npos, error.find("larger"));
  // Nothing at all, or only comments, is an empty registry.
  EXPECT_TRUE(Document::Parse("", &doc, &error));
  EXPECT_TRUE(Document::Parse("; nothing\n\n", &doc, &error));
}

// Files up to the size limit, in the shapes that cost a reader most: many
// keys, one key with many values, and the same key and value again and
// again (each repetition replaces the last). A reader that searched the
// keys or values read so far for each new one needs minutes for these.
TEST(RegistryFormat, ReadsFilesAtTheSizeLimitOfEveryShape) {
  auto build = [](auto&& line) {
    std::string text = "REGEDIT4\n";
    for (int i = 0; text.size() < registry::kMaxFileSize - 256; ++i) text += line(i);
    return text;
  };
  const std::string manyKeys = build(
      [](int i) { return "[HKEY_CLASSES_ROOT\\CLSID\\{" + std::to_string(i) + "}]\n@=\"v\"\n"; });
  const std::string manyValues = build([](int i) {
    return (i == 0 ? std::string("[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n")
                   : std::string()) +
           "\"COM" + std::to_string(i + 1) + "\"=\"/dev/ttyUSB" + std::to_string(i) + "\"\n";
  });
  const std::string repeated = build([](int i) {
    return std::string(i % 2 ? "[hkey_local_machine\\SOFTWARE\\kavrel\\ports]\n"
                             : "[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n") +
           (i % 2 ? "\"com1\"" : "\"COM1\"") + "=\"/dev/ttyS" + std::to_string(i) + "\"\n";
  });
  const Document keys = Parsed(manyKeys);
  EXPECT_GT(keys.keys().size(), 90000u);
  EXPECT_NE(nullptr, keys.FindString("hkey_classes_root\\clsid\\{77777}", ""));
  const Document values = Parsed(manyValues);
  ASSERT_EQ(1u, values.keys().size());
  EXPECT_GT(values.keys()[0].values.size(), 100000u);
  const Document same = Parsed(repeated);
  ASSERT_EQ(1u, same.keys().size());
  ASSERT_EQ(1u, same.keys()[0].values.size());
  const size_t lastLine = repeated.rfind("/dev/ttyS");
  EXPECT_EQ(repeated.substr(lastLine, repeated.size() - lastLine - 2),
            same.keys()[0].values[0].data);
  EXPECT_TRUE(registry::SameName("COM1", same.keys()[0].values[0].name));
}

// Key paths match without regard to ASCII case and to nothing else: a byte
// one case bit away from a letter ('@' and '`', '[' and '{', 0xC1 and 0xE1)
// is another name, wherever it stands in a name of any length.
TEST(RegistryFormat, KeyPathsFoldAsciiCaseAndNothingElse) {
  auto fold = [](std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  };
  auto upper = [](std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
  };
  Document doc;
  std::set<std::string> distinct;
  std::vector<std::string> paths;
  for (size_t length = 1; length <= 17; ++length) {
    for (size_t at : {size_t{0}, length / 2, length - 1}) {
      for (int b = 0x20; b <= 0xFF; ++b) {
        std::string name(length, 'q');
        name[at] = static_cast<char>(b);
        paths.push_back("HKEY_CLASSES_ROOT\\" + name);
        doc.AddKey(paths.back());
        distinct.insert(fold(paths.back()));
      }
    }
  }
  EXPECT_EQ(distinct.size(), doc.keys().size());
  for (const std::string& path : paths) {
    const registry::Key* key = doc.FindKey(upper(path));
    ASSERT_NE(nullptr, key) << path;
    EXPECT_EQ(fold(path), fold(key->path));
  }
}

// Damaged copies of a real file never crash the reader, and whatever it
// accepts it writes back in a form it reads the same way.
TEST(RegistryFormat, SurvivesDamagedFiles) {
  Document base;
  AddRegistration(base, "/opt/kavrel/lib/libkavrel.so");
  base.SetString("HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports", "COM1", "/dev/ttyUSB0 \"x\" \\y");
  const std::string original =
      base.Serialize() + "[HKEY_CURRENT_USER\\B]\n\"h\"=hex(2):41,\\\n  42,00\n";
  std::mt19937 random(12345);
  const char alphabet[] = "[]\\\"=@:,-\n\r;x0 \x01\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string text = original;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[at] = alphabet[random() % (sizeof alphabet - 1)];
          break;
        case 1:
          text.erase(at, 1 + random() % 8);
          break;
        default:
          text.insert(at, 1, alphabet[random() % (sizeof alphabet - 1)]);
          break;
      }
    }
    Document doc;
    std::string error;
    if (!Document::Parse(text, &doc, &error)) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    const std::string written = doc.Serialize();
    Document again;
    ASSERT_TRUE(Document::Parse(written, &again, &error)) << error << "\n" << written;
    ASSERT_EQ(written, again.Serialize());
  }
}

TEST_F(RegistryFileTest, FilePathFollowsTheEnvironment) {
  EXPECT_EQ(file_, registry::FilePath());
  ::unsetenv("KAVREL_REGISTRY");
  ::setenv("XDG_DATA_HOME", "/data/home", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ("/data/home/kavrel/registry.reg", registry::FilePath());
  ::setenv("XDG_DATA_HOME", "relative/dir", 1);  // only absolute paths count
  EXPECT_EQ("/home/u/.local/share/kavrel/registry.reg", registry::FilePath());
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ("/home/u/.local/share/kavrel/registry.reg", registry::FilePath());
  ::unsetenv("HOME");
  EXPECT_EQ("", registry::FilePath());
  std::string error;
  EXPECT_EQ(kRegistryFileIoError, RegisterInFile(registry::FilePath(), "/x/libkavrel.so", &error));
  EXPECT_NE(std::string::npos, error.find("KAVREL_REGISTRY"));
}

// --- registration ---

TEST_F(RegistryFileTest, RegistersWhatWindowsWouldRecord) {
  std::string error;
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/kavrel/lib/libkavrel.so", &error)) << error;
  EXPECT_EQ(0600, ModeOf(file_));
  EXPECT_EQ(0700, ModeOf(dir_ + "/sub"));
  const std::string text = ReadText(file_);
  EXPECT_EQ(0u, text.rfind("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Kavrel.comms]\n", 0)) << text;
  const Document doc = Parsed(text);
  const std::string clsid = std::string("HKEY_CLASSES_ROOT\\CLSID\\") + KAVREL_CLSID_COMMS;
  const std::string lib = std::string("HKEY_CLASSES_ROOT\\TypeLib\\") + KAVREL_LIBID;
  const std::string itf = std::string("HKEY_CLASSES_ROOT\\Interface\\") + KAVREL_IID_COMMS;
  const std::string events =
      std::string("HKEY_CLASSES_ROOT\\Interface\\") + KAVREL_DIID_COMMS_EVENTS;
  const std::pair<std::string, std::string> expected[][1] = {
      {{"HKEY_CLASSES_ROOT\\Kavrel.comms\\CLSID|", KAVREL_CLSID_COMMS}},
      {{clsid + "\\InprocServer32|", "/opt/kavrel/lib/libkavrel.so"}},
      {{clsid + "\\InprocServer32|ThreadingModel", "Apartment"}},
      {{clsid + "\\ProgID|", "Kavrel.comms"}},
      {{clsid + "\\TypeLib|", KAVREL_LIBID}},
      {{lib + "\\10.0|", "Kavrel"}},
      {{lib + "\\10.0\\0\\win64|", "/opt/kavrel/lib/libkavrel.so"}},
      {{lib + "\\10.0\\FLAGS|", "8"}},
      {{lib + "\\10.0\\HELPDIR|", "/opt/kavrel/lib"}},
      {{itf + "|", "_comms"}},
      {{itf + "\\ProxyStubClsid32|", "{00020424-0000-0000-C000-000000000046}"}},
      {{itf + "\\TypeLib|", KAVREL_LIBID}},
      {{itf + "\\TypeLib|Version", "10.0"}},
      {{events + "|", "__comms"}},
      {{events + "\\TypeLib|", KAVREL_LIBID}},
  };
  for (const auto& [entry] : expected) {
    const size_t bar = entry.first.find('|');
    const std::string* value =
        doc.FindString(entry.first.substr(0, bar), entry.first.substr(bar + 1));
    ASSERT_NE(nullptr, value) << entry.first;
    EXPECT_EQ(entry.second, *value) << entry.first;
  }
  EXPECT_NE(nullptr, doc.FindKey(clsid + "\\Programmable"));
}

TEST_F(RegistryFileTest, MergesAndUnregistersExactlyItsOwnEntries) {
  const std::string clsid = std::string("HKEY_CLASSES_ROOT\\CLSID\\") + KAVREL_CLSID_COMMS;
  const std::string foreign =
      "REGEDIT4\n\n"
      "[HKEY_CLASSES_ROOT\\Other.thing\\CLSID]\n@=\"{11111111-2222-3333-4444-555555555555}\"\n\n"
      "[" +
      clsid +
      "\\InprocServer32]\n\"Note\"=\"kept by someone else\"\n\n"
      "[" +
      clsid +
      "\\Extra]\n@=\"a foreign subkey\"\n\n"
      "[HKEY_CLASSES_ROOT\\TypeLib\\" KAVREL_LIBID
      "\\1.0]\n@=\"an older library\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n\"COM1\"=\"/dev/ttyUSB0\"\n"
      "\"Flags\"=hex:00,\\\n  01\n\n";
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  WriteText(file_, foreign, 0640);

  std::string error;
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error)) << error;
  EXPECT_EQ(0640, ModeOf(file_)) << "the owner's permissions are kept";
  Document merged = Parsed(ReadText(file_));
  Document expected = Parsed(foreign);
  AddRegistration(expected, "/opt/lib/libkavrel.so");
  EXPECT_EQ(expected.Serialize(), merged.Serialize());
  EXPECT_EQ("kept by someone else", *merged.FindString(clsid + "\\InprocServer32", "Note"));

  // Registering again changes nothing, not even the file.
  struct stat before {};
  ::stat(file_.c_str(), &before);
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error));
  struct stat after {};
  ::stat(file_.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);

  // Unregistering leaves exactly what was there before, in its order.
  ASSERT_EQ(S_OK, UnregisterFromFile(file_, &error)) << error;
  EXPECT_EQ(Parsed(foreign).Serialize(), ReadText(file_));
  EXPECT_EQ((std::vector<std::string>{"registry.reg"}), Listing(dir_ + "/sub"))
      << "no temporary or lock file is left behind";

  // And a second unregistration finds nothing more to remove.
  ASSERT_EQ(S_OK, UnregisterFromFile(file_, &error));
  EXPECT_EQ(Parsed(foreign).Serialize(), ReadText(file_));
}

// A write that fails (the disk full; here, the file size limit) leaves the
// old file and nothing else, and says which file could not be written.
TEST_F(RegistryFileTest, AFailedWriteLeavesTheOldFile) {
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  const std::string old = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Mine]\n@=\"x\"\n";
  WriteText(file_, old);
  const pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{512, 512};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::string error;
    const HRESULT hr = RegisterInFile(file_, "/opt/lib/libkavrel.so", &error);
    ::_exit(hr == kRegistryFileIoError && error == file_ + ": " + std::strerror(EFBIG) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(old, ReadText(file_));
  EXPECT_EQ((std::vector<std::string>{"registry.reg"}), Listing(dir_ + "/sub"));
}

// A registry shared with a group stays shared with it.
TEST_F(RegistryFileTest, KeepsTheGroupOfTheFile) {
  std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
  groups.resize(static_cast<size_t>(
      std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  if (::geteuid() == 0) groups.push_back(65534);
  gid_t other = ::getegid();
  for (gid_t g : groups)
    if (g != ::getegid()) other = g;
  if (other == ::getegid()) GTEST_SKIP() << "no second group to give the file";
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  WriteText(file_, "REGEDIT4\n\n", 0640);
  ASSERT_EQ(0, ::chown(file_.c_str(), static_cast<uid_t>(-1), other));
  std::string error;
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error)) << error;
  struct stat st {};
  ASSERT_EQ(0, ::stat(file_.c_str(), &st));
  EXPECT_EQ(other, st.st_gid);
  EXPECT_EQ(0640u, st.st_mode & 07777);
}

TEST_F(RegistryFileTest, UnregisteringWithoutAFileCreatesNone) {
  std::string error;
  EXPECT_EQ(S_OK, UnregisterFromFile(file_, &error)) << error;
  EXPECT_NE(0, ::access(file_.c_str(), F_OK));
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error));
  ASSERT_EQ(S_OK, UnregisterFromFile(file_, &error));
  EXPECT_EQ("REGEDIT4\n\n", ReadText(file_));
}

TEST_F(RegistryFileTest, RefusesMalformedOrUnsafeFilesAndLeavesThemAlone) {
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  std::string error;
  const std::string broken = "REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n@=\"unterminated\n";
  WriteText(file_, broken);
  EXPECT_EQ(kRegistryFileMalformed, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error));
  EXPECT_NE(std::string::npos, error.find(file_ + ", line 3: unterminated")) << error;
  EXPECT_EQ(kRegistryFileMalformed, UnregisterFromFile(file_, &error));
  EXPECT_EQ(broken, ReadText(file_));

  const std::string fine = "REGEDIT4\n\n";
  WriteText(file_, fine, 0666);
  EXPECT_EQ(kRegistryFileMalformed, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error));
  EXPECT_NE(std::string::npos, error.find("writable by every user")) << error;
  EXPECT_EQ(fine, ReadText(file_));
  EXPECT_EQ(0666, ModeOf(file_));

  // A file that registration would push over the size limit.
  const std::string full = "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n@=\"" +
                           std::string(registry::kMaxFileSize - 100, 'a') + "\"\n";
  WriteText(file_, full);
  EXPECT_EQ(kRegistryFileMalformed, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error));
  EXPECT_NE(std::string::npos, error.find("larger than")) << error;
  EXPECT_EQ(full, ReadText(file_));

  ::unlink(file_.c_str());
  ::mkdir(file_.c_str(), 0700);  // a directory where the file should be
  EXPECT_EQ(kRegistryFileMalformed, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error));
  EXPECT_NE(std::string::npos, error.find("not a regular file")) << error;
  ::rmdir(file_.c_str());

  EXPECT_EQ(E_FAIL, RegisterInFile(file_, "relative/libkavrel.so", &error));
  EXPECT_EQ(E_FAIL, RegisterInFile(file_, "/opt/lib\n[HKEY_CLASSES_ROOT\\X]/k.so", &error));
  EXPECT_NE(0, ::access(file_.c_str(), F_OK));
}

// What registration does not own comes back as it was: comment lines of a
// hand-edited file, and the newer header, under which binary values are UTF-16.
TEST_F(RegistryFileTest, KeepsCommentsAndTheHeaderOfTheFile) {
  const std::string files[] = {
      "REGEDIT4\n\n"
      "; the adapters on the bench\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n"
      "  ; left one\n"
      "\"COM1\"=\"/dev/ttyUSB0\"\n"
      "; right one\n"
      "\"COM2\"=\"/dev/ttyUSB1\"\n\n"
      "; end of my notes\n",
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CURRENT_USER\\Newer]\n"
      "\"Names\"=hex(7):61,00,00,00,00,00\n\n",
  };
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  for (const std::string& mine : files) {
    WriteText(file_, mine);
    std::string error;
    ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error)) << error;
    ASSERT_EQ(S_OK, UnregisterFromFile(file_, &error)) << error;
    EXPECT_EQ(mine, ReadText(file_));
  }
}

TEST_F(RegistryFileTest, ReplacesTheTargetOfASymbolicLink) {
  const std::string real = dir_ + "/real.reg";
  WriteText(real, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Mine]\n@=\"x\"\n");
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  ASSERT_EQ(0, ::symlink(real.c_str(), file_.c_str()));
  std::string error;
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error)) << error;
  struct stat st {};
  ASSERT_EQ(0, ::lstat(file_.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  const Document doc = Parsed(ReadText(real));
  EXPECT_NE(nullptr, doc.FindString("HKEY_CURRENT_USER\\Mine", ""));
  EXPECT_NE(nullptr, doc.FindString(kClassKey, ""));

  // A link to a file not made yet (relative, into a missing directory): the
  // file is made there, as it would be without the link.
  ASSERT_EQ(0, ::unlink(file_.c_str()));
  ASSERT_EQ(0, ::symlink("../later/real.reg", file_.c_str()));
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error)) << error;
  ASSERT_EQ(0, ::lstat(file_.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(nullptr, Parsed(ReadText(dir_ + "/later/real.reg")).FindString(kClassKey, ""));

  // A linked directory that is not there is named as such.
  ASSERT_EQ(0, ::symlink("gone", (dir_ + "/linked").c_str()));
  EXPECT_EQ(kRegistryFileIoError, RegisterInFile(dir_ + "/linked/r.reg", "/opt/k.so", &error));
  EXPECT_NE(std::string::npos, error.find("linked: No such file")) << error;
}

// Another program saves the file (or makes it) while an update is under
// way: the update starts again from what was saved, and loses none of it.
TEST_F(RegistryFileTest, UpdateKeepsWhatWasSavedMeanwhile) {
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  for (const bool existed : {true, false}) {
    ::unlink(file_.c_str());
    if (existed) WriteText(file_, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Old]\n@=\"x\"\n");
    int calls = 0;
    std::string error;
    const auto result = registry::UpdateFile(
        file_,
        [&](Document& doc) {
          if (++calls == 1) {
            const std::string saved = file_ + ".saved";
            WriteText(saved, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Saved]\n@=\"y\"\n");
            ASSERT_EQ(0, ::rename(saved.c_str(), file_.c_str()));
          }
          doc.SetString("HKEY_CURRENT_USER\\Mine", "", "z");
        },
        &error);
    ASSERT_EQ(registry::UpdateResult::Written, result) << error;
    const Document doc = Parsed(ReadText(file_));
    EXPECT_NE(nullptr, doc.FindString("HKEY_CURRENT_USER\\Saved", "")) << existed;
    EXPECT_NE(nullptr, doc.FindString("HKEY_CURRENT_USER\\Mine", "")) << existed;
    EXPECT_EQ(2, calls);
  }
}

// --- the library's exports, and creation by name ---

class LibraryTest : public RegistryFileTest {
 protected:
  void SetUp() override {
    RegistryFileTest::SetUp();
    module_ = ::dlopen(KAVREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module_) << ::dlerror();
    registerServer_ = reinterpret_cast<HRESULT (*)()>(::dlsym(module_, "DllRegisterServer"));
    unregisterServer_ = reinterpret_cast<HRESULT (*)()>(::dlsym(module_, "DllUnregisterServer"));
    getErrorInfo_ =
        reinterpret_cast<HRESULT (*)(ULONG, IErrorInfo**)>(::dlsym(module_, "GetErrorInfo"));
    ASSERT_TRUE(registerServer_ && unregisterServer_ && getErrorInfo_);
  }
  void TearDown() override {
    if (module_) ::dlclose(module_);
    RegistryFileTest::TearDown();
  }
  std::string LibraryRealPath() {
    char resolved[PATH_MAX];
    EXPECT_NE(nullptr, ::realpath(KAVREL_LIBRARY_PATH, resolved));
    return resolved;
  }
  // The library's error information, as ASCII.
  std::string ErrorDescription() {
    IErrorInfo* info = nullptr;
    if (getErrorInfo_(0, &info) != S_OK || !info) return "<none>";
    BSTR text = nullptr;
    info->GetDescription(&text);
    info->Release();
    std::string out;
    for (const OLECHAR* p = text; p && *p; ++p)
      out.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    reinterpret_cast<void (*)(BSTR)>(::dlsym(module_, "SysFreeString"))(text);
    return out;
  }

  void* module_ = nullptr;
  HRESULT (*registerServer_)() = nullptr;
  HRESULT (*unregisterServer_)() = nullptr;
  HRESULT (*getErrorInfo_)(ULONG, IErrorInfo**) = nullptr;
};

TEST_F(LibraryTest, ExportsRegisterTheLibraryItself) {
  ASSERT_EQ(S_OK, registerServer_()) << ErrorDescription();
  Document doc = Parsed(ReadText(file_));
  ASSERT_NE(nullptr, doc.FindString(kClassKey, ""));
  // The SONAME link, which an update of the library keeps, not the
  // versioned file it leads to today.
  const std::string real = LibraryRealPath();
  const std::string stable = real.substr(0, real.rfind('/')) + "/libkavrel.so.1";
  EXPECT_NE(real, stable);
  EXPECT_EQ(stable, *doc.FindString(kClassKey, ""));
  ASSERT_EQ(S_OK, unregisterServer_());
  EXPECT_EQ("REGEDIT4\n\n", ReadText(file_));

  WriteText(file_, "REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n\"a\"=\"b\" c\n");
  EXPECT_EQ(kRegistryFileMalformed, registerServer_());
  EXPECT_EQ(file_ + ", line 3: text after the string", ErrorDescription());
}

TEST_F(LibraryTest, CreatesTheObjectByNameThroughTheRegistry) {
  std::string why;
  _comms* comms = nullptr;
  EXPECT_EQ(kClassNotRegistered,
            CreateObject("Kavrel.comms", IID__comms, reinterpret_cast<void**>(&comms), &why));
  EXPECT_NE(std::string::npos, why.find("no registry file")) << why;

  ASSERT_EQ(S_OK, registerServer_()) << ErrorDescription();
  for (const char* name : {"Kavrel.comms", "KAVREL.COMMS", KAVREL_CLSID_COMMS}) {
    ASSERT_EQ(S_OK, CreateObject(name, IID__comms, reinterpret_cast<void**>(&comms), &why))
        << name << ": " << why;
    ASSERT_NE(nullptr, comms);
    EXPECT_EQ(S_OK, comms->put_BaudComm(19200));
    LONG baud = 0;
    EXPECT_EQ(S_OK, comms->get_BaudComm(&baud));
    EXPECT_EQ(19200, baud);
    comms->Release();
  }
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(S_OK, CreateObject("Kavrel.comms", IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  dispatch->Release();

  void* none = nullptr;
  EXPECT_EQ(kInvalidClassString, CreateObject("Kavrel.nothing", IID__comms, &none, &why));
  EXPECT_EQ(kInvalidClassString, CreateObject("{not-a-guid}", IID__comms, &none, &why));
  EXPECT_EQ(kClassNotRegistered,
            CreateObject("{00000000-0000-0000-0000-000000000001}", IID__comms, &none, &why));
  EXPECT_EQ(E_NOINTERFACE, CreateObject("Kavrel.comms", IID_IClassFactory, &none, &why));
  EXPECT_EQ(nullptr, none);

  // The library's export for C hosts: the same, the reason as error information.
  auto create = reinterpret_cast<HRESULT (*)(const char*, const IID*, void**)>(
      ::dlsym(module_, "KavrelCreateObject"));
  ASSERT_NE(nullptr, create);
  ASSERT_EQ(S_OK, create("Kavrel.comms", &IID__comms, reinterpret_cast<void**>(&comms)));
  EXPECT_EQ(S_OK, comms->put_PortComm(3));
  comms->Release();
  EXPECT_EQ(kInvalidClassString, create("Kavrel.nothing", &IID__comms, &none));
  EXPECT_EQ("Kavrel.nothing is not registered", ErrorDescription());
  EXPECT_EQ(E_POINTER, create("Kavrel.comms", &IID__comms, nullptr));
}

TEST_F(LibraryTest, RefusesServersItShouldNotLoad) {
  std::string why;
  void* object = nullptr;
  auto registerAt = [&](const std::string& path) {
    ::unlink(file_.c_str());
    std::string error;
    ASSERT_EQ(S_OK, RegisterInFile(file_, path, &error)) << error;
  };
  // A library anybody may replace is not loaded.
  const std::string copy = dir_ + "/libkavrel-copy.so";
  ASSERT_EQ(0, std::system(("cp '" + LibraryRealPath() + "' '" + copy + "'").c_str()));
  ::chmod(copy.c_str(), 0757);
  registerAt(copy);
  EXPECT_EQ(E_ACCESSDENIED, CreateObject("Kavrel.comms", IID__comms, &object, &why));
  EXPECT_NE(std::string::npos, why.find("writable by every user")) << why;
  registerAt(dir_ + "/missing.so");
  EXPECT_EQ(kServerNotFound, CreateObject("Kavrel.comms", IID__comms, &object, &why));
  // Hand-edited paths must be absolute.
  WriteText(file_, std::string("REGEDIT4\n[HKEY_CLASSES_ROOT\\Kavrel.comms\\CLSID]\n@=\"") +
                       KAVREL_CLSID_COMMS + "\"\n[" + kClassKey + "]\n@=\"libkavrel.so\"\n");
  EXPECT_EQ(kServerNotFound, CreateObject("Kavrel.comms", IID__comms, &object, &why));
  // A library without the entry points.
  registerAt("/bin/true");
  EXPECT_NE(S_OK, CreateObject("Kavrel.comms", IID__comms, &object, &why));
  // A registry file that is not one.
  WriteText(file_, "not a registry\n");
  EXPECT_EQ(kRegistryUnusable, CreateObject("Kavrel.comms", IID__comms, &object, &why));
  EXPECT_EQ(nullptr, object);
}

// --- the port map ---

using platform::posix::ResolveDeviceName;

TEST_F(RegistryFileTest, MapsComPortsBetweenTheEnvironmentAndTheDefault) {
  std::string device;
  ::unsetenv("KAVREL_COM1");
  EXPECT_EQ(ERROR_SUCCESS, ResolveDeviceName("COM1", &device));  // no file yet
  EXPECT_EQ("/dev/ttyS0", device);
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  WriteText(file_,
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kavrel\\Ports]\n"
            "\"com1\"=\"/dev/ttyUSB0\"\n\"COM12\"=\"/dev/serial/by-id/usb-\\\"odd\\\"\"\n"
            "\"COM3\"=dword:00000001\n\"COM4\"=\"\"\n");
  EXPECT_EQ(ERROR_SUCCESS, ResolveDeviceName("\\\\.\\COM1", &device));
  EXPECT_EQ("/dev/ttyUSB0", device);
  EXPECT_EQ(ERROR_SUCCESS, ResolveDeviceName("com12:", &device));
  EXPECT_EQ("/dev/serial/by-id/usb-\"odd\"", device);
  EXPECT_EQ(ERROR_SUCCESS, ResolveDeviceName("COM2", &device));  // not in the map
  EXPECT_EQ("/dev/ttyS1", device);
  // A mapping that is not a device path is refused, not passed over.
  EXPECT_EQ(platform::posix::kErrorBadDb, ResolveDeviceName("COM3", &device));
  EXPECT_EQ(platform::posix::kErrorBadDb, ResolveDeviceName("COM4", &device));
  // The environment comes first.
  ::setenv("KAVREL_COM1", "/dev/pts/9", 1);
  EXPECT_EQ(ERROR_SUCCESS, ResolveDeviceName("COM1", &device));
  EXPECT_EQ("/dev/pts/9", device);
  ::unsetenv("KAVREL_COM1");

  // Registration keeps the map; a broken file is reported, never guessed at.
  std::string error;
  ASSERT_EQ(S_OK, RegisterInFile(file_, "/opt/lib/libkavrel.so", &error));
  ASSERT_EQ(S_OK, UnregisterFromFile(file_, &error));
  EXPECT_EQ("/dev/ttyUSB0", ResolveDeviceName("COM1"));
  WriteText(file_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n\"COM1\"=\"/dev/x\n");
  EXPECT_EQ(platform::posix::kErrorBadDb, ResolveDeviceName("COM1", &device));
  EXPECT_EQ("", ResolveDeviceName("COM2"));
  EXPECT_EQ(ERROR_SUCCESS, ResolveDeviceName("/dev/ttyUSB3", &device));  // a path needs no map
  EXPECT_EQ("/dev/ttyUSB3", device);
}

// Readers keep the parsed file and read it again only when it changed: a
// COM port name then costs no parse, however large the map.
TEST_F(RegistryFileTest, ReadsTheFileAgainOnlyWhenItChanged) {
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n";
  for (int i = 1; i <= 20000; ++i)
    text += "\"COM" + std::to_string(i) + "\"=\"/dev/ttyUSB" + std::to_string(i - 1) + "\"\n";
  WriteText(file_, text);
  std::shared_ptr<const Document> first, second;
  std::string error;
  ASSERT_EQ(registry::LoadResult::Loaded, registry::LoadShared(file_, &first, &error)) << error;
  // A file changed within the last moments may be rewritten within the same
  // clock tick, unseen: it is read every time until it has settled.
  ASSERT_EQ(registry::LoadResult::Loaded, registry::LoadShared(file_, &second, &error));
  EXPECT_NE(first.get(), second.get());
  ::usleep(2200 * 1000);
  ASSERT_EQ(registry::LoadResult::Loaded, registry::LoadShared(file_, &first, &error));
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(registry::LoadResult::Loaded, registry::LoadShared(file_, &second, &error));
    ASSERT_EQ(first.get(), second.get()) << "read again though nothing changed";
  }
  EXPECT_EQ("/dev/ttyUSB19999", ResolveDeviceName("COM20000"));

  // The same size and inode, other content: read again.
  std::string edited = text;
  edited.replace(edited.find("/dev/ttyUSB0\""), 12, "/dev/ttyACM0");
  {
    std::fstream in(file_, std::ios::in | std::ios::out | std::ios::binary);
    in << edited;
  }
  EXPECT_EQ("/dev/ttyACM0", ResolveDeviceName("COM1"));
  // Made writable by everyone: refused at once, parsed or not.
  ::chmod(file_.c_str(), 0602);
  EXPECT_EQ(platform::posix::kErrorBadDb, ResolveDeviceName("COM1", &error));
  ::chmod(file_.c_str(), 0600);
  // Replaced by another file: read again.
  WriteText(dir_ + "/sub/new.reg", "REGEDIT4\n");
  ASSERT_EQ(0, ::rename((dir_ + "/sub/new.reg").c_str(), file_.c_str()));
  EXPECT_EQ("/dev/ttyS0", ResolveDeviceName("COM1"));
}

// CommOpen of a COM port name reaches the device the file maps it to, and
// a broken file makes the open fail with a clear error.
TEST_F(RegistryFileTest, CommOpenFollowsThePortMap) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(0, ::openpty(&master, &slave, name, nullptr, nullptr));
  ::unsetenv("KAVREL_COM2");
  ::mkdir((dir_ + "/sub").c_str(), 0700);
  WriteText(file_,
            std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n\"COM2\"=\"") +
                name + "\"\n");
  testing::TestObject object(platform::NativeRuntime());
  short slot = 1;
  testing::TestBstr port(u"COM2"), settings(u"baud=9600 parity=N data=8 stop=1"), message;
  LONG result = -99, code = 0;
  ASSERT_EQ(S_OK, object.comms->CommOpen(&slot, &port.s, &settings.s, &result));
  EXPECT_EQ(0, result);
  testing::TestBstr data(u"via the map");
  ASSERT_EQ(S_OK, object.comms->CommWrite(&slot, &data.s, &result));
  EXPECT_EQ(11, result);
  char received[32] = {};
  EXPECT_EQ(11, ::read(master, received, sizeof received));
  EXPECT_STREQ("via the map", received);
  ASSERT_EQ(S_OK, object.comms->CommClose(&slot, &result));
  EXPECT_EQ(0, result);

  WriteText(file_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports\n");
  ASSERT_EQ(S_OK, object.comms->CommOpen(&slot, &port.s, &settings.s, &result));
  EXPECT_EQ(1009, result);
  ASSERT_EQ(S_OK, object.comms->CommGetError(&message.s, &code));
  EXPECT_EQ(0u, message.str().rfind(
                    u"Error (1009): CommOpen (CreateFile) - The configuration registry database is "
                    u"corrupt.",
                    0))
      << testing::Utf8(message.s);
  ::close(slave);
  ::close(master);
}

}  // namespace
}  // namespace kavrel
