#include "options.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "file_io.h"
#include "pack_error.h"
#include "text.h"

namespace pack {

const char kUsage[] =
    R"(tamrel-pack: wraps a product (an archive and a setup program) into the installer stub.

Usage:
  tamrel-pack --output OUT.exe [--archive FILE] [--setup FILE]
              [--resource TYPE NAME FILE]... [--previous-version TEXT] [--rcdata1 FILE]
              [--product-name TEXT] [--product-version N[.N[.N[.N]]]] [--company TEXT]
              [--description TEXT] [--copyright TEXT] [--icon FILE.ico]
              [--sign-cert CERT --sign-key KEY [--sign-pass-file FILE] [--timestamp-url URL]
               | --sign-command TEMPLATE] [--allow-incomplete] [--quiet]
  tamrel-pack inspect INSTALLER [--json] [--ca-file FILE]
  tamrel-pack verify INSTALLER [--require-signature] [--ca-file FILE]
  tamrel-pack extract INSTALLER --to DIR
  tamrel-pack --help | --version

Every option also takes its value as --option=value; an argument @FILE stands for the lines of
FILE, one argument a line (blank lines skipped, nothing else interpreted), so that a long command
line can be kept in version control.

  --output OUT.exe           the installer to write; replaced only when everything succeeded
                             (a symbolic link there is replaced, not written through; the new
                             file's mode is 0777 less the umask)
  --archive FILE             the product archive, as resource "TAMREL.PACKED.7Z" of type "B7"
  --setup FILE               the setup program: stored as "setup.exe" in an MSZIP cabinet,
                             added as resource "SETUP.EX_" of type "BL"
  --resource TYPE NAME FILE  FILE's bytes verbatim as the resource NAME of string type TYPE;
                             repeatable; any string type and name, an empty FILE included
  --previous-version TEXT    RT_RCDATA 1 holding TEXT in UTF-16LE and one zero wide character
  --rcdata1 FILE             RT_RCDATA 1 holding FILE's bytes verbatim
  --allow-incomplete         write an installer that would stop before running setup (no
                             archive, no setup program, a payload name it rejects, a setup
                             program that is no Windows program for x64 or x86), which is
                             otherwise refused with the reason; for tests
  --quiet                    print nothing on success; else one line names the installer
                             written, its size, its SHA-256 and its signer (or "unsigned")

Branding (the version block and icon group 107; each default is the stub's own):
  --product-name TEXT        ProductName; also FileDescription unless --description is given
  --product-version VERSION  ProductVersion and FileVersion as given, and the numeric
                             PRODUCTVERSION/FILEVERSION: one to four dot-separated numbers
                             0-65535, missing parts 0 ("1.2.3" is 1,2,3,0)
  --company TEXT             CompanyName; also LegalCopyright "Copyright (C) TEXT" unless
                             --copyright is given
  --description TEXT         FileDescription
  --copyright TEXT           LegalCopyright
  --icon FILE.ico            replaces icon group 107 with the images of FILE.ico
Text values are one line of any Unicode text, at most 256 UTF-16 units; --previous-version
also follows these rules, without a double quote.

Signing (Authenticode; nothing is signed without --sign-cert or --sign-command):
  --sign-cert CERT           the signing certificate, with any intermediates (PEM or DER),
                             to sign with here (the Linux build; an RSA key is signed by the
                             packer itself, any other through osslsigncode)
  --sign-key KEY             its private key (PEM or DER)
  --sign-pass-file FILE      the key's passphrase, when the key is encrypted
  --timestamp-url URL        an RFC 3161 time-stamping server to countersign the signature
  --sign-command TEMPLATE    a command of your own that signs the finished installer in place
                             ({file} in TEMPLATE is its path), for keys in a certificate store,
                             a hardware module or a signing service: split into arguments as a
                             POSIX shell splits them, but run without a shell (quote any of
                             | & ; < > ( ) $ ` * ? [ and a leading # or ~). The installer must
                             come back with an Authenticode signature and otherwise unchanged

Resource types and names are stored in upper case, as resource compilers store them: Windows
upper-cases the name it is asked to find, so a name stored in lower or mixed case could be listed
but never found. The same type and name given twice is an error, and so is a setup program
named "setup.exe" in type "BL" or "B7" (the installer writes that file under its own name and
then expands or patches setup.exe beside it: such an installer could never run).

The same inputs give the same bytes, from the Linux and the Windows build alike: nothing of the
paths, the current folder or the clock reaches the installer. The cabinet's file date and the
signing time come from $SOURCE_DATE_EPOCH when it is set (the cabinet date kept within the DOS
range, 1980 to 2107), else they are fixed at 1980-01-01 00:00:00 UTC; a signature countersigned
by a time-stamping server carries that server's time and so differs on every run.

No compiler or other tool runs: the stub is inside this program. Every option and input is
checked, and the installer's size computed (a PE32+ image is at most 2 GB), before anything is
written; input files are streamed, never held in memory. On any error one line names the
problem, the exit code is 2, OUT.exe is left as it was and no temporary file stays behind.
OUT.exe is never one of the inputs (compared as files, not names), never a read-only file, a
folder, a device, a FIFO or a socket; its data is synced to the disk before it replaces anything.

Reading an installer (nothing in it is run; the file is read whole, checked at every step):
  inspect INSTALLER [--json] what it holds: resources, the archive, setup.exe as the installer
                             writes it, whether it would run setup (or the exit code it would
                             give), version block, icon, whether its stub is a release's, its
                             signature: signer, digest, whether it holds and why not, the time
                             stamp, nested signatures and the chain of trust. Exit 0 when read
                             as an installer, 1 when it is none or is damaged
  verify INSTALLER           exit 0 only when the image loads, every resource can be found, the
                             payload is complete, the cabinet expands whole, the stub is genuine
                             and a signature holds: one entry in the certificate table, nothing
                             hidden beside it, one signer whose certificate it carries and allows
                             code signing, SHA-256/384/512 (never SHA-1), its signature verified
                             with that certificate's key over a digest that matches the file,
                             any time stamp and nested signature verified the same way; else 1,
                             one line per failure
    --require-signature      an unsigned installer fails too
    --ca-file FILE           (inspect and verify) PEM certificates to trust: the signer's and the
                             time-stamp authority's chains must reach one of them, at the time
                             stamp's time (else now); without it the chain is not judged
  extract INSTALLER --to DIR writes the archive, setup.exe (expanded) and the other payload
                             resources into DIR, which must be empty or not exist

Example:
  tamrel-pack --output MyProduct.exe --archive product.7z --setup setup.exe
)";

namespace {

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsUrl(const std::string& url) {
  size_t rest;
  if (url.compare(0, 7, "http://") == 0) {
    rest = 7;
  } else if (url.compare(0, 8, "https://") == 0) {
    rest = 8;
  } else {
    return false;
  }
  if (url.size() == rest) return false;
  for (size_t i = rest; i < url.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    if (c == ' ' || (c >= '\t' && c <= '\r')) return false;
  }
  return true;
}

// The words a POSIX shell makes of `text` by splitting at blanks and removing quotes. Nothing is
// expanded, since no shell runs: a character that would make the shell expand, redirect or
// start another command is refused unless quoted, rather than passed on meaning something else.
std::vector<std::string> SplitCommand(const std::string& text) {
  const std::string what = "--sign-command " + Quoted(text);
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else if (c == '\\') {
      if (++i == text.size()) Fail(what + " ends in a backslash");
      if (text[i] != '\n') word += text[i];  // a backslash and a line break join two lines
      in_word = in_word || text[i] != '\n';
    } else if (c == '\'') {
      size_t end = text.find('\'', i + 1);
      if (end == std::string::npos) Fail(what + " has a ' without its closing '");
      word.append(text, i + 1, end - i - 1);
      i = end;
      in_word = true;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == text.size()) Fail(what + " has a \" without its closing \"");
        if (text[i] == '"') break;
        if (text[i] == '$' || text[i] == '`') {
          Fail(what + ": " + text[i] + " would be expanded by a shell and no shell runs; put it "
               "in single quotes");
        }
        if (text[i] == '\\' && i + 1 < text.size() &&
            std::strchr("$`\"\\\n", text[i + 1]) != nullptr) {
          if (text[++i] != '\n') word += text[i];
        } else {
          word += text[i];
        }
      }
      in_word = true;
    } else if (std::strchr("|&;<>()$`*?[", c) != nullptr ||
               (!in_word && (c == '#' || c == '~'))) {
      Fail(what + ": " + c + " means something to a shell and no shell runs; quote it");
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  if (words.empty()) Fail("--sign-command names no command");
  bool names_file = false;
  for (const std::string& each : words) names_file |= each.find("{file}") != std::string::npos;
  if (!names_file) Fail(what + " does not name the installer to sign as {file}");
  return words;
}

// Edits (insertions, deletions, substitutions) between two words; the option asked for is short.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

[[noreturn]] void Unknown(const std::string& argument, const std::vector<const char*>& known) {
  const std::string name = argument.substr(0, argument.find('='));
  const char* best = nullptr;
  size_t best_distance = 3;  // closer than this is a slip of the keyboard
  for (const char* option : known) {
    const size_t distance = name.size() < 64 && name[0] == '-' ? Distance(name, option) : 64;
    if (distance < best_distance) best = option, best_distance = distance;
  }
  Fail("unknown argument: " + Quoted(argument) +
       (best ? std::string(": did you mean ") + best + "?" : std::string()));
}

// The arguments with every @FILE replaced by its lines. A line of FILE is never expanded again.
std::vector<std::string> Expanded(const std::vector<std::string>& arguments) {
  std::vector<std::string> out;
  for (const std::string& argument : arguments) {
    if (argument.size() < 2 || argument[0] != '@') {
      out.push_back(argument);
      continue;
    }
    InputFile file(argument.substr(1), "argument file");
    const std::vector<uint8_t> bytes = file.ReadAll(1 << 20);
    std::string text(bytes.begin(), bytes.end());
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) out.push_back(line);
      start = end + 1;
    }
  }
  return out;
}

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// inspect, verify, extract: the installer and the subcommand's own options.
Options ParseReader(const std::vector<std::string>& arguments) {
  Options options;
  options.command = arguments[0];
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-h" || argument == "--help") {
      options.help = true;
      return options;
    }
    if (argument == "--json" && options.command == "inspect") {
      options.json = true;
    } else if (argument == "--require-signature" && options.command == "verify") {
      options.require_signature = true;
    } else if (argument == "--ca-file" && options.command != "extract") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) Fail("--ca-file needs a file");
      if (options.ca_file) Fail("--ca-file given twice");
      options.ca_file = arguments[++i];
    } else if (argument == "--to" && options.command == "extract") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) Fail("--to needs a folder");
      if (!options.to.empty()) Fail("--to given twice");
      options.to = arguments[++i];
    } else if (argument.size() > 1 && argument[0] == '-') {
      std::vector<const char*> known = {"--help"};
      if (options.command == "inspect") known.push_back("--json");
      if (options.command == "verify") known.push_back("--require-signature");
      if (options.command != "extract") known.push_back("--ca-file");
      if (options.command == "extract") known.push_back("--to");
      Unknown(argument, known);
    } else if (options.installer.empty() && !argument.empty()) {
      options.installer = argument;
    } else {
      Fail(options.command + " reads one installer: " + Quoted(argument) + " is one too many");
    }
  }
  if (options.installer.empty()) Fail(options.command + " needs the installer to read");
  if (options.command == "extract" && options.to.empty()) Fail("extract needs --to DIR");
  return options;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& given) {
  // --option=value becomes --option value, for options that take one value.
  std::vector<std::string> arguments;
  for (const std::string& argument : Expanded(given)) {
    const size_t equals = argument.find('=');
    static const char* const kWithValue[] = {
        "--output", "--archive", "--setup", "--previous-version", "--rcdata1", "--product-name",
        "--product-version", "--company", "--description", "--copyright", "--icon", "--sign-cert",
        "--sign-key", "--sign-pass-file", "--timestamp-url", "--sign-command", "--to",
        "--ca-file"};
    bool split = false;
    for (const char* name : kWithValue) {
      split |= equals != std::string::npos && argument.compare(0, equals, name) == 0;
    }
    if (split) {
      arguments.push_back(argument.substr(0, equals));
      arguments.push_back(argument.substr(equals + 1));
    } else {
      arguments.push_back(argument);
    }
  }
  if (!arguments.empty() &&
      (arguments[0] == "inspect" || arguments[0] == "verify" || arguments[0] == "extract")) {
    return ParseReader(arguments);
  }
  Options options;
  std::pair<const char*, std::optional<std::string>*> single[] = {
      {"--output", nullptr},
      {"--archive", &options.archive},
      {"--setup", &options.setup},
      {"--previous-version", &options.previous_version},
      {"--rcdata1", &options.rcdata1},
      {"--product-name", &options.product_name},
      {"--product-version", &options.product_version},
      {"--company", &options.company},
      {"--description", &options.description},
      {"--copyright", &options.copyright},
      {"--icon", &options.icon},
      {"--sign-cert", &options.sign_cert},
      {"--sign-key", &options.sign_key},
      {"--sign-pass-file", &options.sign_pass_file},
      {"--timestamp-url", &options.timestamp_url},
      {"--sign-command", &options.sign_command},
  };
  bool have_output = false;
  for (size_t i = 0; i < arguments.size();) {
    const std::string& argument = arguments[i];
    if (argument == "-h" || argument == "--help" || (kWindows && argument == "/?")) {
      options.help = true;
      return options;
    }
    if (argument == "--version") {
      options.version = true;
      return options;
    }
    // A value that is itself an option is a value forgotten: "--product-name --company X"
    // would brand the product "--company".
    auto value = [&](size_t at, const char* what) -> const std::string& {
      if (at >= arguments.size()) Fail(argument + " needs " + what);
      const std::string& text = arguments[at];
      bool is_option = text == "-h" || text == "--resource" || text == "--allow-incomplete" ||
                       text == "--help" || text == "--version" || text == "--quiet";
      for (auto& each : single) is_option |= text == each.first;
      if (is_option) {
        Fail(argument + " needs " + what + ", but the next argument " + Quoted(text) +
             " is an option");
      }
      return text;
    };
    if (argument == "--allow-incomplete" || argument == "--quiet") {
      (argument == "--quiet" ? options.quiet : options.allow_incomplete) = true;
      ++i;
      continue;
    }
    if (argument == "--resource") {
      for (size_t k = 1; k <= 3; ++k) value(i + k, "TYPE NAME FILE");
      options.resources.push_back({arguments[i + 1], arguments[i + 2], arguments[i + 3]});
      i += 4;
      continue;
    }
    bool known = false;
    for (auto& [name, slot] : single) {
      if (argument != name) continue;
      known = true;
      value(i + 1, "a value");
      if (slot == nullptr) {
        if (have_output) Fail(argument + " given twice");
        options.output = arguments[i + 1];
        have_output = true;
      } else {
        if (slot->has_value()) Fail(argument + " given twice");
        *slot = arguments[i + 1];
      }
      i += 2;
      break;
    }
    if (!known) {
      std::vector<const char*> names = {"--resource", "--allow-incomplete", "--quiet", "--help",
                                        "--version"};
      for (auto& each : single) names.push_back(each.first);
      Unknown(argument, names);
    }
  }
  if (!have_output || options.output.empty()) Fail("--output is required");
  if (options.previous_version && options.rcdata1) {
    Fail("--previous-version and --rcdata1 both set RT_RCDATA 1: give one");
  }
  for (const ExtraResource& resource : options.resources) {
    for (auto [label, text] : {std::pair<const char*, const std::string*>{"type", &resource.type},
                               {"name", &resource.name}}) {
      if (text->empty() || text->find('\0') != std::string::npos) {
        Fail(std::string("--resource ") + label + " must be a non-empty string");
      }
      if (IsNumber(*text)) {
        Fail(std::string("--resource ") + label + " " + Quoted(*text) +
             " is a number; only string types and names");
      }
    }
  }
  if (options.sign_cert.has_value() != options.sign_key.has_value()) {
    Fail("--sign-cert and --sign-key go together: give both or neither");
  }
  if (options.sign_command) {
    if (options.sign_cert) {
      Fail("--sign-command and --sign-cert/--sign-key are two ways to sign: give one");
    }
    options.sign_command_words = SplitCommand(*options.sign_command);
  }
  if (options.sign_pass_file && !options.sign_cert) {
    Fail("--sign-pass-file needs --sign-cert and --sign-key");
  }
  if (options.timestamp_url && !options.sign_cert) {
    Fail("--timestamp-url needs --sign-cert and --sign-key");
  }
  if (options.timestamp_url && !IsUrl(*options.timestamp_url)) {
    Fail("--timestamp-url " + Quoted(*options.timestamp_url) +
         " is not an http:// or https:// URL");
  }
  return options;
}

}  // namespace pack
