// The packer's command line: every option, checked for what can be told without reading a file.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pack {

struct ExtraResource {
  std::string type;
  std::string name;
  std::string file;
};

struct Options {
  std::string output;
  std::optional<std::string> archive;
  std::optional<std::string> setup;
  std::vector<ExtraResource> resources;
  std::optional<std::string> previous_version;
  std::optional<std::string> rcdata1;
  std::optional<std::string> product_name;
  std::optional<std::string> product_version;
  std::optional<std::string> company;
  std::optional<std::string> description;
  std::optional<std::string> copyright;
  std::optional<std::string> icon;
  std::optional<std::string> sign_cert;
  std::optional<std::string> sign_key;
  std::optional<std::string> sign_pass_file;
  std::optional<std::string> timestamp_url;
  std::optional<std::string> sign_command;
  std::vector<std::string> sign_command_words;  // split as a POSIX shell would, {file} kept
  bool allow_incomplete = false;  // write an installer that would exit before setup runs
  bool quiet = false;  // nothing on standard output after packing
  // A subcommand that reads an installer: "inspect", "verify" or "extract"; empty for packing.
  std::string command;
  std::string installer;
  bool json = false;  // inspect --json
  std::optional<std::string> ca_file;  // inspect, verify --ca-file: the certificates to trust
  bool require_signature = false;      // verify --require-signature
  std::string to;     // extract --to DIR
  bool help = false;
  bool version = false;
};

// Arguments as UTF-8 strings (the program's name not included). "@FILE" stands for FILE's lines,
// one argument a line; "--option=value" for "--option value". Throws PackError.
Options ParseOptions(const std::vector<std::string>& arguments);

extern const char kUsage[];

}  // namespace pack
