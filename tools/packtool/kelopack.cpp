// kelopack: builds and inspects the installer's payload packet.
//   kelopack pack [--allow-ansi[=CP]] DIR OUT
//                                          pack every file below DIR; OUT.sha256 gets the
//                                          packet's SHA-256, which the installer checks, and
//                                          OUT.reach the bytes of its longest name and of
//                                          its longest folder (16 bits each, little-endian),
//                                          which the installer's directory check adds up.
//                                          Names beyond ASCII only with --allow-ansi, checked
//                                          against the code page CP (an iconv name) if given
//   kelopack list PACKET                   name and size of each record
//   kelopack verify PACKET [NAME...]       decode and walk; non-zero exit on any fault, or
//                                          when a NAME (in any letter case) is no record
//   kelopack unpack PACKET DIR             write the records below DIR
#include <iconv.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <cwctype>
#include <vector>

#include "packtool/packet_writer.h"
#include "setup/install_transaction.h"
#include "setup/packet.h"
#include "setup/sha256.h"

namespace fs = std::filesystem;
using namespace kelo;

namespace {

// The longest name the installer takes below a drive's root, C:\, where it may be set
// aside as C:\KeloSetup.kept\<name>.99.
constexpr size_t kMaxPackedNameBytes = kMaxNameBytes - 3 - kSetAsideReach;
// Windows makes no folder whose path has 248 characters or more (MAX_PATH - 12).
constexpr size_t kMaxPackedFolderBytes = 247 - 3 - kSetAsideReach;

// Bytes that read as UTF-8 with at least one character beyond ASCII: the usual spelling of
// a name on the machine that packs, and another name altogether in an ANSI code page.
bool IsMultibyteUtf8(const std::string& name) {
  bool multibyte = false;
  for (size_t i = 0; i < name.size();) {
    const unsigned char lead = static_cast<unsigned char>(name[i]);
    size_t extra = 0;  // continuation bytes after the lead
    if (lead >= 0xC2 && lead <= 0xDF) extra = 1;
    else if (lead >= 0xE0 && lead <= 0xEF) extra = 2;
    else if (lead >= 0xF0 && lead <= 0xF4) extra = 3;
    else if (lead >= 0x80) return false;
    if (i + extra >= name.size()) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) return false;
    multibyte = multibyte || extra > 0;
    i += extra + 1;
  }
  return multibyte;
}

// Names read in the installing systems' ANSI code page, as Windows reads them.
class CodePage {
 public:
  explicit CodePage(const std::string& name) : to_wide_(iconv_open("WCHAR_T", name.c_str())) {}
  ~CodePage() {
    if (to_wide_ != reinterpret_cast<iconv_t>(-1)) iconv_close(to_wide_);
  }
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;

  // Whether iconv knows it and it is a Windows ANSI code page: one that reads every ASCII
  // byte as that character (glibc's SHIFT_JIS reads 5C as a yen sign; its CP932 does not).
  bool known() {
    if (to_wide_ == reinterpret_cast<iconv_t>(-1)) return false;
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) ascii.push_back(static_cast<char>(c));
    std::string folded;
    return Problem(ascii, &folded).empty();
  }

  // What is wrong with `name` there, or nothing. Windows compares it, letter case aside, as
  // `*folded` (in UTF-8), which is set when nothing is wrong.
  std::string Problem(const std::string& name, std::string* folded) {
    std::vector<wchar_t> text(name.size() + 1);
    std::string in = name;
    char* in_at = &in[0];
    size_t in_left = in.size();
    char* out_at = reinterpret_cast<char*>(text.data());
    size_t out_left = text.size() * sizeof(wchar_t);
    iconv(to_wide_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(to_wide_, &in_at, &in_left, &out_at, &out_left) == static_cast<size_t>(-1) ||
        iconv(to_wide_, nullptr, nullptr, &out_at, &out_left) == static_cast<size_t>(-1))
      return "a name that is no text in the code page: ";
    const size_t chars = (text.size() * sizeof(wchar_t) - out_left) / sizeof(wchar_t);
    // The installer splits names at "\" bytes and compares ASCII letters byte by byte: an
    // ASCII byte that is the second half of a double-byte character would be taken for one.
    const size_t ascii_bytes = std::count_if(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const size_t ascii_chars = std::count_if(text.begin(), text.begin() + chars, [](wchar_t c) { return c < 0x80; });
    if (ascii_bytes != ascii_chars)
      return "a double-byte character whose second byte reads as an ASCII character (\\, a letter) to the "
             "installer; rename it: ";
    folded->clear();
    for (size_t i = 0; i < chars; ++i) AppendUtf8(static_cast<char32_t>(std::towupper(text[i])), folded);
    return std::string();
  }

 private:
  static void AppendUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | c >> 6));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | c >> 12));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | c >> 18));
      out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  iconv_t to_wide_;
};

int Fail(const char* format, const std::string& detail) {
  std::fprintf(stderr, "kelopack: ");
  std::fprintf(stderr, format, detail.c_str());
  std::fputc('\n', stderr);
  return 1;
}

bool ReadWholeFile(const fs::path& path, std::vector<uint8_t>* data) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  data->clear();
  uint8_t chunk[1 << 16];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) data->insert(data->end(), chunk, chunk + got);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

// Writes next to the target and renames, so a failed run never leaves a packet that
// looks complete.
bool WriteWholeFile(const fs::path& path, const uint8_t* data, size_t size) {
  const fs::path temp = path.string() + ".partial";
  FILE* file = std::fopen(temp.c_str(), "wb");
  if (!file) return false;
  bool ok = std::fwrite(data, 1, size, file) == size;
  ok = (std::fclose(file) == 0) && ok;
  std::error_code ec;
  if (ok) fs::rename(temp, path, ec);
  if (!ok || ec) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

// `code_page` empty: names must be ASCII. "-": any bytes, unchecked.
int Pack(const fs::path& dir, const fs::path& out, const std::string& code_page) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return Fail("not a directory: %s", dir.string());
  const bool allow_ansi = !code_page.empty();
  const bool checked = allow_ansi && code_page != "-";
  CodePage ansi(checked ? code_page : "ASCII");
  if (!ansi.known()) return Fail("no Windows code page iconv knows (cp936, say): %s", code_page);
  // Letter case as Unicode has it, which is how Windows compares names.
  if (checked && !std::setlocale(LC_CTYPE, "C.UTF-8")) return Fail("no %s locale here", "C.UTF-8");
  if (allow_ansi && !checked)
    std::fprintf(stderr,
                 "kelopack: warning: names beyond ASCII are not checked against a code page; name it "
                 "(--allow-ansi=cp936, say)\n");
  std::vector<std::string> folded_names;
  // Written into the folder itself, a run would pack the one before it (and its digest).
  const auto resolved = [](const fs::path& path, fs::path* full) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (!error) *full = fs::weakly_canonical(absolute, error);
    return !error;
  };
  fs::path full_out, full_dir;
  if (!resolved(out, &full_out)) return Fail("cannot resolve %s", out.string());
  if (!resolved(dir, &full_dir)) return Fail("cannot resolve %s", dir.string());
  const fs::path out_within = full_out.lexically_relative(full_dir);
  if (!out_within.empty() && *out_within.begin() != "..")
    return Fail("output inside the folder it packs: %s", out.string());
  std::vector<ArchiveEntry> entries;
  size_t longest_name = 0;
  size_t longest_folder = 0;
  // A failed step ends the walk as if it were through: the error is looked at after it.
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    // A link would go in as what it points to under its own name or, a linked folder, not
    // at all: the payload is plain files.
    if (it->is_symlink()) return Fail("symbolic link: %s", it->path().string());
    const std::string relative = it->path().lexically_relative(dir).generic_string();
    // Folders are implied by the file names: one with no file below it would not install.
    if (it->is_directory()) {
      if (fs::is_empty(it->path(), ec))
        return Fail("empty folder, which a packet cannot carry (put a file in it): %s", relative);
      continue;
    }
    if (!it->is_regular_file()) return Fail("not a regular file: %s", relative);
    ArchiveEntry entry;
    entry.name = relative;
    std::replace(entry.name.begin(), entry.name.end(), '/', '\\');
    // Staged first below the install directory, which is at least a drive's root ("C:\\"): a
    // longer name cannot install anywhere.
    if (entry.name.size() > kMaxPackedNameBytes)
      return Fail("name longer than %s",
                  std::to_string(kMaxPackedNameBytes) + " bytes, which cannot install anywhere: " + relative);
    const size_t folder_bytes = entry.name.rfind('\\');
    if (folder_bytes != std::string::npos && folder_bytes > kMaxPackedFolderBytes)
      return Fail("folder longer than %s",
                  std::to_string(kMaxPackedFolderBytes) + " bytes, which cannot install anywhere: " + relative);
    if (!allow_ansi) {
      for (unsigned char c : entry.name)
        if (c >= 0x80)
          return Fail("non-ASCII name (the installer reads names in the installing system's ANSI code page: "
                      "convert them to it and pack with --allow-ansi=CP, CP the code page): %s",
                      relative);
    } else if (IsMultibyteUtf8(entry.name)) {
      // Some names in a double-byte code page read as UTF-8 too: said, not refused.
      std::fprintf(stderr,
                   "kelopack: warning: %s reads as UTF-8; the installer reads names in the installing system's ANSI "
                   "code page, where UTF-8 is other characters (convert first, with convmv -t cp936, say)\n",
                   relative.c_str());
    }
    if (checked) {
      std::string folded;
      const std::string problem = ansi.Problem(entry.name, &folded);
      if (!problem.empty()) return Fail("%s", problem + relative);
      folded_names.push_back(folded);
    }
    // A backslash in a name here would part it into folders there. In a code page not
    // named, one after a byte beyond ASCII may be the second byte of a character.
    for (size_t i = 0; i < relative.size(); ++i) {
      const bool maybe_second_byte = allow_ansi && !checked && i > 0 && static_cast<unsigned char>(relative[i - 1]) >= 0x80;
      if (relative[i] == '\\' && !maybe_second_byte) return Fail("backslash in a name: %s", relative);
    }
    if (!IsSafeArchiveName(entry.name.data(), entry.name.size()))
      return Fail("name the installer cannot write: %s", relative);
    longest_name = std::max(longest_name, entry.name.size());
    if (folder_bytes != std::string::npos) longest_folder = std::max(longest_folder, folder_bytes);
    if (!ReadWholeFile(it->path(), &entry.data)) return Fail("cannot read %s", relative);
    if (entry.data.size() > 0xFFFFFFFFu) return Fail("file of 4 GiB or more: %s", relative);
    entries.push_back(std::move(entry));
  }
  if (ec) return Fail("cannot list %s", dir.string() + ": " + ec.message());
  std::vector<std::string> names;
  for (const ArchiveEntry& entry : entries) names.push_back(entry.name);
  // Byte by byte, as the installer compares them, and as Windows does in the code page.
  std::string problem = PayloadNameProblem(names);
  if (problem.empty()) problem = PayloadNameProblem(folded_names);
  if (!problem.empty()) return Fail("%s", problem);
  std::sort(entries.begin(), entries.end(),
            [](const ArchiveEntry& a, const ArchiveEntry& b) { return a.name < b.name; });
  const std::vector<uint8_t> archive = BuildArchive(entries);
  if (archive.size() > 0xFFFFFFFFu) return Fail("archive of 4 GiB or more from %s", dir.string());
  std::vector<uint8_t> packet;
  if (!CompressPacket(archive, PacketOptions{}, &packet)) return Fail("LZMA encoder failed for %s", dir.string());
  if (!WriteWholeFile(out, packet.data(), packet.size())) return Fail("cannot write %s", out.string());
  uint8_t digest[kSha256Size];
  Sha256(packet.data(), packet.size(), digest);
  if (!WriteWholeFile(out.string() + ".sha256", digest, sizeof digest))
    return Fail("cannot write %s", out.string() + ".sha256");
  // Both fit 16 bits: names were refused above at far fewer bytes.
  const uint8_t reach[4] = {static_cast<uint8_t>(longest_name), static_cast<uint8_t>(longest_name >> 8),
                            static_cast<uint8_t>(longest_folder), static_cast<uint8_t>(longest_folder >> 8)};
  if (!WriteWholeFile(out.string() + ".reach", reach, sizeof reach))
    return Fail("cannot write %s", out.string() + ".reach");
  std::printf("%zu files, %zu bytes unpacked, %zu bytes packed\n", entries.size(), archive.size(),
              packet.size());
  return 0;
}

// Reads and fully checks a packet; every inspecting command starts here.
int Load(const fs::path& path, DecodedArchive* archive) {
  std::vector<uint8_t> packet;
  if (!ReadWholeFile(path, &packet)) return Fail("cannot read %s", path.string());
  const PacketError error = DecodePacket(packet.data(), packet.size(), archive);
  if (error != PacketError::kNone) return Fail("%s", path.string() + ": " + PacketErrorText(error));
  return 0;
}

int List(const fs::path& path, bool quiet, const std::vector<std::string>& required = {}) {
  DecodedArchive archive;
  if (int rc = Load(path, &archive)) return rc;
  std::vector<std::string> names;
  ForEachRecord(archive.data.get(), archive.size, [&](const ArchiveRecord& r) {
    if (!quiet) std::printf("%10u  %.*s\n", r.data_size, r.name_size, r.name);
    names.emplace_back(r.name, r.name_size);
    return true;
  });
  std::printf("%zu records, %zu bytes unpacked\n", names.size(), archive.size);
  const std::string problem = PayloadNameProblem(names);
  if (!problem.empty()) return Fail("%s", path.string() + ": " + problem);
  const std::string missing = MissingName(names, required);
  return missing.empty() ? 0 : Fail("%s", path.string() + ": no record " + missing + ", which the installer needs");
}

int Unpack(const fs::path& path, const fs::path& dir) {
  DecodedArchive archive;
  if (int rc = Load(path, &archive)) return rc;
  int rc = 0;
  ForEachRecord(archive.data.get(), archive.size, [&](const ArchiveRecord& r) {
    std::string name(r.name, r.name_size);
    std::replace(name.begin(), name.end(), '\\', '/');
    const fs::path target = dir / name;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec || !WriteWholeFile(target, r.data, r.data_size)) {
      rc = Fail("cannot write %s", target.string());
      return false;
    }
    return true;
  });
  return rc;
}

int Usage() {
  std::fputs(
      "usage: kelopack pack [--allow-ansi[=CP]] DIR OUT\n"
      "       kelopack list PACKET\n"
      "       kelopack verify PACKET [NAME...]\n"
      "       kelopack unpack PACKET DIR\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "pack") {
    std::string code_page;
    if (!args.empty() && args[0].rfind("--allow-ansi", 0) == 0) {
      if (args[0] == "--allow-ansi") code_page = "-";
      else if (args[0].rfind("--allow-ansi=", 0) == 0 && args[0].size() > 13) code_page = args[0].substr(13);
      else return Usage();
      args.erase(args.begin());
    }
    if (args.size() != 2) return Usage();
    return Pack(args[0], args[1], code_page);
  }
  if (command == "list" && args.size() == 1) return List(args[0], false);
  if (command == "verify" && !args.empty()) return List(args[0], true, {args.begin() + 1, args.end()});
  if (command == "unpack" && args.size() == 2) return Unpack(args[0], args[1]);
  return Usage();
}
