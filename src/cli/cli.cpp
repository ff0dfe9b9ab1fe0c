// The `tarnwick` command-line tool: the module's operations on model files of
// any size, on the file layer: only a model's metadata is read into memory,
// and rewrites stream straight from the piece list to the output file.

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/signals.h"
#include "cli/terminal.h"
#include "core/digest.h"
#include "core/error.h"
#include "dispatch/format.h"
#include "core/manifest.h"
#include "file/model.h"
#include "file/operations.h"
#include "file/output.h"

#ifndef TARNWICK_VERSION
#error "the build defines TARNWICK_VERSION"
#endif

namespace tarnwick::cli {
namespace {

using digest::Algorithm;
using digest::Exclusion;
using file::FileError;
using file::Model;
using file::Output;

// The tool's documented exit statuses.
enum Exit : int { kSuccess = 0, kRejected = 1, kUsage = 2, kNotFound = 3, kIoFailure = 4 };

// A failure ready to be reported as "<subject>: <text>" on stderr; usage
// errors add a hint line.
struct Failure {
  Exit status;
  std::string subject;  // a file name, or the program for usage errors
  std::string text;
  std::string hint = {};
};

constexpr const char* kStdinName = "<stdin>";
constexpr const char* kStdoutName = "<stdout>";
constexpr const char* kOutOfMemory = "out of memory";

// ---------------------------------------------------------------------------
// Help texts

constexpr std::string_view kMainHelp =
    "usage: tarnwick <command> [options]\n"
    "\n"
    "Sign and verify GGUF, ONNX and SafeTensors models (one file, or a model\n"
    "of many files) with C2PA manifests, and embed, read and strip C2PA data.\n"
    "\n"
    "commands:\n"
    "  sign MODEL --cert CHAIN.pem --key KEY (-o OUT | --in-place)\n"
    "                                 sign a file, or a folder as one model\n"
    "  verify MODEL...                verify signed models (files, folders, URLs)\n"
    "  info MODEL...                  what a model holds: format, store, URI, files\n"
    "  exec MODEL --trust ANCHORS.pem -- COMMAND [ARGS...]\n"
    "                                 run COMMAND on sealed copies of a trusted\n"
    "                                 model, {} in ARGS its folder\n"
    "  embed MODEL [--store FILE | --reserve N] [--uri URI] (-o OUT | --in-place)\n"
    "                                 embed a manifest store, a URI, or both\n"
    "  read MODEL [-o FILE]           write out the embedded manifest store\n"
    "  read-uri MODEL                 print the remote manifest URI\n"
    "  strip MODEL (-o OUT | --in-place)\n"
    "                                 remove all C2PA data\n"
    "  patch MODEL --store FILE       write a signed store over the reserved one\n"
    "  hash MODEL [--alg ALG] [--exclude OFFSET:LENGTH]...\n"
    "                                 the C2PA data hash, without the store\n"
    "  help [COMMAND]                 this help, or a command's\n"
    "\n"
    "Run 'tarnwick help COMMAND' or 'tarnwick COMMAND --help' for a command's\n"
    "options. sign, verify and exec need the C2PA SDK: pip install 'tarnwick[c2pa]'.\n"
    "\n"
    "options:\n"
    "  -h, --help      show this help\n"
    "  --version       show the version\n"
    "\n"
    "exit status: 0 success, 1 rejected (a model refused or invalid), 2 usage\n"
    "error, 3 unsigned or nothing found, 4 a file could not be read or written,\n"
    "128+N stopped by signal N\n";

constexpr std::string_view kInfoHelp =
    "usage: tarnwick info [--json] MODEL...\n"
    "\n"
    "Show what each model holds: its container format, C2PA model type,\n"
    "embedded manifest store (and its size) and remote manifest URI. A model of\n"
    "many files (a folder or its entry file) lists every file a signature covers\n"
    "(every regular file of its folder but .git/, .cache/ and .DS_Store), each\n"
    "with what it holds, and the model-level store <stem>.c2pa. MODEL may be '-'\n"
    "for standard input (one file).\n"
    "\n"
    "options:\n"
    "  --json             one JSON object per model, one per line\n"
    "  -h, --help         show this help\n"
    "\n"
    "exit status: 0 shown, 1 a model refused, 2 usage error, 4 a file could not\n"
    "be read\n";

constexpr std::string_view kReadHelp =
    "usage: tarnwick read MODEL [-o FILE]\n"
    "\n"
    "Write the model's embedded manifest store, byte for byte, to FILE or to\n"
    "standard output. Exit status 3 when the model has none. Standard output\n"
    "that is a terminal is refused unless '-o -' asks for it.\n"
    "MODEL may be '-' for standard input.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE  write the store to FILE ('-' for standard output)\n"
    "  -h, --help         show this help\n"
    "\n"
    "exit status: 0 written, 1 a model refused, 2 usage error, 3 no store, 4 a\n"
    "file could not be read or written\n";

constexpr std::string_view kReadUriHelp =
    "usage: tarnwick read-uri MODEL\n"
    "\n"
    "Print the model's remote manifest URI; print nothing and exit with\n"
    "status 3 when it has none. What a URI cannot hold raw (controls, spaces,\n"
    "DEL, bidi controls and other invisible characters, bytes that are not\n"
    "UTF-8) is printed percent-encoded, each byte as %XX, so the URI is always\n"
    "one line; other non-ASCII characters are printed as they are.\n"
    "MODEL may be '-' for standard input.\n"
    "\n"
    "options:\n"
    "  -h, --help      show this help\n";

constexpr std::string_view kEmbedHelp =
    "usage: tarnwick embed MODEL [--store FILE | --reserve N] [--uri URI]\n"
    "                      [--hash ALG] (-o OUT | --in-place) [--json]\n"
    "\n"
    "Embed a manifest store, a remote manifest URI, or both, replacing any C2PA\n"
    "data the model holds (embedding only a store drops an old URI, and the\n"
    "reverse).\n"
    "MODEL may be '-' for standard input.\n"
    "\n"
    "options:\n"
    "  --store FILE       the manifest store to embed ('-' for standard input)\n"
    "  --reserve N        embed N zero bytes as the store, to be replaced by\n"
    "                     'tarnwick patch' once signed\n"
    "  --uri URI          the remote manifest URI to embed\n"
    "  --hash ALG         compute the new model's data hash without its store\n"
    "                     (sha256, sha384 or sha512, in any case) in the same\n"
    "                     pass\n"
    "  -o, --output OUT   write the new model to OUT ('-' for standard output)\n"
    "  --in-place         replace MODEL itself, atomically\n"
    "  --json             print {\"file\", \"size\", \"store_range\", \"digest\"} as\n"
    "                     one JSON object (the last two null unless --reserve\n"
    "                     or --hash asked for them)\n"
    "  -q, --quiet        no progress bar\n"
    "  -h, --help         show this help\n"
    "\n"
    "exit status: 0 written, 1 a model refused, 2 usage error, 4 a file could\n"
    "not be read or written, 128+N stopped by signal N\n";

constexpr std::string_view kStripHelp =
    "usage: tarnwick strip MODEL (-o OUT | --in-place)\n"
    "\n"
    "Remove all C2PA data (manifest store and URI) from the model.\n"
    "MODEL may be '-' for standard input.\n"
    "\n"
    "options:\n"
    "  -o, --output OUT   write the new model to OUT ('-' for standard output)\n"
    "  --in-place         replace MODEL itself, atomically\n"
    "  -q, --quiet        no progress bar\n"
    "  -h, --help         show this help\n"
    "\n"
    "exit status: 0 written, 1 a model refused, 2 usage error, 4 a file could\n"
    "not be read or written, 128+N stopped by signal N\n";

constexpr std::string_view kPatchHelp =
    "usage: tarnwick patch MODEL --store FILE\n"
    "\n"
    "Write a signed manifest store into the place of the one MODEL holds, in\n"
    "place, without rewriting the model: the rest of the file is untouched.\n"
    "The store as the model keeps it (raw in GGUF, Base64 text in ONNX and\n"
    "SafeTensors) must have exactly the length of the one there, as a store\n"
    "reserved with 'tarnwick embed --reserve' and signed to that size has.\n"
    "\n"
    "options:\n"
    "  --store FILE       the signed manifest store ('-' for standard input)\n"
    "  -h, --help         show this help\n";

constexpr std::string_view kHashHelp =
    "usage: tarnwick hash MODEL [--alg ALG] [--exclude OFFSET:LENGTH]...\n"
    "\n"
    "Print the C2PA data hash of MODEL in hex: the digest of the file without\n"
    "the excluded ranges. Without --exclude, the range where the manifest store\n"
    "lies is excluded (nothing when the model has no store).\n"
    "MODEL may be '-' for standard input.\n"
    "\n"
    "options:\n"
    "  --alg ALG          sha256 (the default), sha384 or sha512, in any case\n"
    "  --exclude OFFSET:LENGTH\n"
    "                     leave these bytes out; repeat for several ranges, in\n"
    "                     ascending order, not overlapping, inside the file\n"
    "                     ('--exclude 0:0' excludes nothing)\n"
    "  -h, --help         show this help\n";

// ---------------------------------------------------------------------------
// Arguments

struct Args {
  bool help = false;
  bool json = false;
  bool in_place = false;
  bool quiet = false;
  std::optional<std::string> output;
  std::optional<std::string> store;
  std::optional<std::string> uri;
  std::optional<std::string> reserve;
  std::optional<std::string> hash;
  std::optional<std::string> alg;
  std::vector<std::string> exclude;
  std::vector<std::string> models;

  // The values of reserve, hash or alg, and exclude, set by check().
  std::optional<std::uint64_t> reserve_size;
  std::optional<Algorithm> algorithm;
  std::vector<Exclusion> exclusions;
};

enum Command : unsigned { kInfo, kRead, kReadUri, kEmbed, kStrip, kPatch, kHash };
constexpr unsigned bit(Command c) { return 1u << c; }
constexpr unsigned kAllCommands = bit(kInfo) | bit(kRead) | bit(kReadUri) | bit(kEmbed) | bit(kStrip) |
                                  bit(kPatch) | bit(kHash);
constexpr unsigned kRewrites = bit(kEmbed) | bit(kStrip);

struct OptionRule {
  std::string_view long_name;
  char short_name;  // 0 when there is none
  unsigned commands;
  bool Args::*flag;                                  // set for options without a value
  std::optional<std::string> Args::*value;           // set for options with one
  std::vector<std::string> Args::*list = nullptr;    // set for repeatable ones
};
const OptionRule kOptions[] = {
    {"help", 'h', kAllCommands, &Args::help, nullptr},
    {"json", 0, bit(kInfo) | bit(kEmbed), &Args::json, nullptr},
    {"output", 'o', bit(kRead) | kRewrites, nullptr, &Args::output},
    {"store", 0, bit(kEmbed) | bit(kPatch), nullptr, &Args::store},
    {"reserve", 0, bit(kEmbed), nullptr, &Args::reserve},
    {"uri", 0, bit(kEmbed), nullptr, &Args::uri},
    {"hash", 0, bit(kEmbed), nullptr, &Args::hash},
    {"in-place", 0, kRewrites, &Args::in_place, nullptr},
    {"quiet", 'q', kRewrites, &Args::quiet, nullptr},
    {"alg", 0, bit(kHash), nullptr, &Args::alg},
    {"exclude", 0, bit(kHash), nullptr, nullptr, &Args::exclude},
};

struct CommandEntry {
  std::string_view name;
  std::string_view help;
  int (*run)(const Args&);
};

Failure usage(std::string_view command, const std::string& text) {
  std::string prog = command.empty() ? "tarnwick" : "tarnwick " + std::string(command);
  return {kUsage, prog, text, "Try '" + prog + " --help'."};
}

std::optional<Failure> parse(Command command, std::string_view name, const std::vector<std::string>& argv,
                             Args& args) {
  bool options_done = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      args.models.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    // --name, --name=value, -x, -xvalue
    bool is_long = arg[1] == '-';
    std::string shown;
    std::optional<std::string> attached;
    const OptionRule* option = nullptr;
    if (is_long) {
      std::string_view body = std::string_view(arg).substr(2);
      auto eq = body.find('=');
      if (eq != std::string_view::npos) {
        attached = std::string(body.substr(eq + 1));
        body = body.substr(0, eq);
      }
      shown = "--" + std::string(body);
      for (const OptionRule& o : kOptions)
        if (o.long_name == body) option = &o;
    } else {
      shown = arg.substr(0, 2);
      if (arg.size() > 2) attached = arg.substr(2);
      for (const OptionRule& o : kOptions)
        if (o.short_name != 0 && o.short_name == arg[1]) option = &o;
    }
    if (option == nullptr || !(option->commands & bit(command)))
      return usage(name, "unknown option '" + shown + "'");
    if (option->flag != nullptr) {
      if (attached) return usage(name, "option '" + shown + "' takes no value");
      args.*(option->flag) = true;
      continue;
    }
    if (!attached) {
      if (i + 1 == argv.size()) return usage(name, "option '" + shown + "' needs a value");
      attached = argv[++i];
    }
    if (option->list != nullptr) {
      (args.*(option->list)).push_back(std::move(*attached));
      continue;
    }
    if (args.*(option->value)) return usage(name, "option '" + shown + "' given twice");
    args.*(option->value) = std::move(attached);
  }
  return std::nullopt;
}

// A decimal number, digits only.
std::optional<std::uint64_t> decimal(std::string_view s) {
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// "OFFSET:LENGTH".
std::optional<Exclusion> exclusion(std::string_view s) {
  auto colon = s.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto offset = decimal(s.substr(0, colon));
  auto length = decimal(s.substr(colon + 1));
  if (!offset || !length) return std::nullopt;
  return Exclusion{*offset, *length};
}

// Whether the command prints, or writes its result, to standard output.
bool writes_to_stdout(Command command, const Args& a) {
  switch (command) {
    case kRead:
      return !a.output || *a.output == "-";
    case kEmbed:
    case kStrip:
      return a.json || a.output == "-";
    case kPatch:
      return false;
    default:
      return true;
  }
}

Failure stdout_closed() { return {kIoFailure, kStdoutName, "standard output is closed"}; }

// Checks that hold before any file is touched; converts the option values.
std::optional<Failure> check(Command command, std::string_view name, Args& a) {
  if (a.models.empty()) return usage(name, "missing MODEL");
  if (command != kInfo && a.models.size() > 1)
    return usage(name, "unexpected argument '" + a.models[1] + "'");
  if (a.output && a.output->empty()) return usage(name, "the output file name is empty");
  if (a.hash || a.alg) {
    auto algorithm = digest::algorithm_named(a.hash ? *a.hash : *a.alg);
    if (!algorithm.ok()) return usage(name, algorithm.error().message());
    a.algorithm = algorithm.value();
  }
  for (const std::string& e : a.exclude) {
    auto range = exclusion(e);
    if (!range) return usage(name, "--exclude takes OFFSET:LENGTH, not '" + e + "'");
    a.exclusions.push_back(*range);
  }
  if (a.reserve) {
    a.reserve_size = decimal(*a.reserve);
    if (!a.reserve_size) return usage(name, "--reserve takes a number of bytes, not '" + *a.reserve + "'");
    if (a.store) return usage(name, "give either --store or --reserve, not both");
  }
  if (command == kEmbed) {
    if (!a.store && !a.reserve && !a.uri) return usage(name, "give --store (or --reserve), --uri or both");
    if (a.uri && !is_utf8(view_of(*a.uri))) return usage(name, "the URI is not valid UTF-8");
    if (a.uri && !is_printable(*a.uri)) return usage(name, "the URI holds control characters");
    if (a.store == "-" && a.models[0] == "-")
      return usage(name, "standard input cannot hold both the model and the store");
  }
  if (command == kEmbed || command == kStrip) {
    if (a.output && a.in_place) return usage(name, "give either -o or --in-place, not both");
    if (!a.output && !a.in_place) return usage(name, "give -o OUT or --in-place");
    if (a.in_place && a.models[0] == "-")
      return usage(name, "--in-place needs a model file, not standard input");
    if (a.json && a.output == "-") return usage(name, "--json and -o - cannot share standard output");
  }
  if (command == kPatch) {
    if (!a.store) return usage(name, "give --store FILE");
    if (a.models[0] == "-") return usage(name, "the model must be a regular file, not standard input");
  }
  if (command == kInfo) {
    int stdin_uses = 0;
    for (const std::string& m : a.models) stdin_uses += m == "-";
    if (stdin_uses > 1) return usage(name, "standard input given more than once");
  }
  if (command == kRead && !a.output && isatty(STDOUT_FILENO))
    return usage(name,
                 "refusing to write a binary manifest store to a terminal; use -o FILE, or -o - to force it");
  // Refused before any work, so that no new file is left whose report is lost.
  if (writes_to_stdout(command, a) && standard_output_was_closed()) return stdout_closed();
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Reporting

int report(const Failure& f) {
  clear_progress_line();
  std::fprintf(stderr, "%s: %s\n", escaped(f.subject).c_str(), escaped(f.text).c_str());
  if (!f.hint.empty()) std::fprintf(stderr, "%s\n", f.hint.c_str());
  return f.status;
}

Failure failure(const FileError& e) {
  bool oom = e.kind == FileError::Kind::System && e.err == ENOMEM;
  return {kIoFailure, e.name, oom ? kOutOfMemory : e.message()};
}

Failure rejected(const std::string& model, const Error& e) {
  Exit status = e.kind() == Error::Kind::NoManifest ? kNotFound : kRejected;
  return {status, model, e.message()};
}

// ---------------------------------------------------------------------------
// Files

// "-" is standard input; anything else a path.
file::Outcome<Model> open_model(const std::string& path, Model::Access access) {
  return path == "-" ? Model::read_stream(STDIN_FILENO, kStdinName) : Model::open(path, access);
}

// Where the result goes: the model itself, standard output or a file. An
// output that is the model's own file is a usage error.
std::optional<Failure> open_output(std::string_view name, const Args& a, const Model& model,
                                   bool can_in_place, std::optional<Output>& out) {
  bool to_stdout = !a.output || *a.output == "-";
  if (to_stdout && !a.in_place && standard_output_was_closed()) return stdout_closed();
  auto opened = a.in_place  ? Output::replacing(model)
                : to_stdout ? Output::stream(STDOUT_FILENO, kStdoutName, &model)
                            : Output::create(*a.output, &model);
  if (opened.ok()) {
    out.emplace(std::move(opened).value());
    return std::nullopt;
  }
  if (opened.error().kind != FileError::Kind::SameFile) return failure(opened.error());
  std::string text = to_stdout ? "standard output is the model itself" : "-o names the model itself";
  if (can_in_place) text += "; use --in-place to rewrite it";
  return usage(name, text);
}

// A store named on the command line ('-' for standard input).
file::Outcome<Bytes> read_store(const std::string& path) {
  return path == "-" ? file::read_whole_stream(STDIN_FILENO, kStdinName) : file::read_whole_file(path);
}

// One line on standard output, its write errors reported.
int print_line(const std::string& text) {
  if (standard_output_was_closed()) return report(stdout_closed());
  clear_progress_line();
  auto out = Output::stream(STDOUT_FILENO, kStdoutName, nullptr);
  auto written = out.value().write(view_of(text + "\n"));
  return written.ok() ? kSuccess : report(failure(written.error()));
}

// Runs one model's work, turning a failed allocation into that model's
// failure so that the rest of an info list still runs.
template <class F>
int with_memory_failure(const std::string& path, F&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return report({kIoFailure, path == "-" ? kStdinName : path, kOutOfMemory});
  }
}

// ---------------------------------------------------------------------------
// Commands

std::string hex_digits(ByteView bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::string json_range(const std::optional<StoreRange>& range) {
  if (!range) return "null";
  std::string text = "[";
  text += std::to_string(range->offset);
  text += ", ";
  text += std::to_string(range->length);
  text += "]";
  return text;
}

// The JSON row of a model that could not be done, as every command gives
// it: {"path", "state": "error", "failures": [{"code", "explanation"}]}.
std::string error_row(const std::string& path, const Failure& f) {
  const char* code = f.status == kIoFailure ? "tarnwick.unreadable"
                     : f.status == kUsage   ? "tarnwick.usage"
                     : f.status == kNotFound ? "tarnwick.not_found"
                                             : "tarnwick.rejected";
  const std::string text = f.subject.empty() ? f.text : f.subject + ": " + f.text;
  return "{\"path\": " + json_string(path == "-" ? kStdinName : path) +
         ", \"state\": \"error\", \"failures\": [{\"code\": \"" + code +
         "\", \"explanation\": " + json_string(text) + "}]}";
}

void print_info(const Model& model, const ModelInfo& d, bool json) {
  if (json) {
    std::string line = "{\"path\": " + json_string(model.name()) + ", \"state\": \"inspected\", \"format\": " +
                       json_string(d.format.display_name()) + ", \"model_type\": " +
                       json_string(d.format.model_type()) + ", \"store_size\": " +
                       (d.store_size ? std::to_string(*d.store_size) : "null") +
                       ", \"uri\": " + (d.uri ? json_string(*d.uri) : "null") +
                       ", \"store_range\": " + json_range(d.store_range) + "}";
    std::printf("%s\n", line.c_str());
    return;
  }
  std::printf("%s\n", escaped(model.name()).c_str());
  std::printf("  format:      %.*s\n", static_cast<int>(d.format.display_name().size()),
              d.format.display_name().data());
  std::printf("  model type:  %.*s\n", static_cast<int>(d.format.model_type().size()),
              d.format.model_type().data());
  if (d.store_size)
    std::printf("  store:       %llu bytes\n", static_cast<unsigned long long>(*d.store_size));
  else
    std::printf("  store:       none\n");
  std::printf("  uri:         %s\n", d.uri ? escaped(*d.uri).c_str() : "none");
}

int run_info(const Args& a) {
  int status = kSuccess;
  bool described_any = false;
  for (const std::string& path : a.models) {
    std::optional<Failure> f;
    try {
      auto model = open_model(path, Model::Access::Read);
      if (!model.ok()) {
        f = failure(model.error());
      } else if (auto info = inspect(model.value().bytes()); !info.ok()) {
        f = rejected(model.value().name(), info.error());
      } else {
        if (!a.json && described_any) std::printf("\n");
        described_any = true;
        print_info(model.value(), info.value(), a.json);
        continue;
      }
    } catch (const std::bad_alloc&) {
      f = Failure{kIoFailure, path == "-" ? kStdinName : path, kOutOfMemory};
    }
    std::fflush(stdout);
    status = std::max(status, report(*f));
    if (a.json) std::printf("%s\n", error_row(path, *f).c_str());
  }
  if (std::fflush(stdout) != 0) return report(failure(FileError::system(kStdoutName, errno)));
  return status;
}

int run_read(const Args& a) {
  auto model = open_model(a.models[0], Model::Access::Read);
  if (!model.ok()) return report(failure(model.error()));
  std::optional<Output> out;
  if (auto f = open_output("read", a, model.value(), false, out)) return report(*f);
  auto store = read_manifest(model.value().bytes());
  if (!store.ok()) return report(rejected(model.value().name(), store.error()));
  auto written = out->write(store.value());
  if (written.ok()) written = out->commit();
  return written.ok() ? kSuccess : report(failure(written.error()));
}

// The same line on a terminal and in a pipe: a URI's newline would otherwise
// forge a second line for a script reading it.
int run_read_uri(const Args& a) {
  auto model = open_model(a.models[0], Model::Access::Read);
  if (!model.ok()) return report(failure(model.error()));
  auto uri = read_manifest_uri(model.value().bytes());
  if (!uri.ok()) return report(rejected(model.value().name(), uri.error()));
  if (!uri.value()) return kNotFound;
  return print_line(percent_encoded(*uri.value()));
}

// A failure of the file layer: the model's own (exit 1, or 3 for nothing
// found) or the file's (exit 4).
Failure failure_of(const FileError& e) {
  if (e.kind == FileError::Kind::Model && e.model) return rejected(e.name, *e.model);
  return failure(e);
}

// embed and strip: the new model streamed to its destination. The model is
// opened (and for --in-place, resolved) first, before the store is read.
int run_rewrite(std::string_view name, const Args& a, bool embed) {
  auto model = open_model(a.models[0], a.in_place ? Model::Access::Replace : Model::Access::Read);
  if (!model.ok()) {
    if (model.error().kind == FileError::Kind::NotRegular)
      return report(usage(name, "--in-place needs a regular file, which '" + a.models[0] + "' is not"));
    return report(failure(model.error()));
  }
  const Model& m = model.value();
  std::optional<Output> out;
  if (auto f = open_output(name, a, m, true, out)) return report(*f);

  file::Edit edit;
  edit.hash = a.algorithm;
  if (embed && a.reserve_size) {
    // A run of zeros in the output, never held in memory.
    edit.source = ManifestSource::reserving(*a.reserve_size, a.uri);
  } else if (embed) {
    std::optional<Bytes> store;
    if (a.store) {
      auto bytes = read_store(*a.store);
      if (!bytes.ok()) return report(failure(bytes.error()));
      store = std::move(bytes.value());
    }
    edit.source.emplace(std::move(store), a.uri);
  }

  ProgressBar bar(m.size(), a.quiet);
  file::ProgressFn progress;
  if (bar.wanted()) progress = std::ref(bar);
  auto written = file::rewrite(m, *out, edit, progress);
  if (!written.ok()) {
    const FileError& e = written.error();
    // A store the format cannot hold is the caller's choice, not the model's.
    if (e.kind == FileError::Kind::Model && e.model && e.model->kind() == Error::Kind::TooLarge)
      return report(usage(name, e.message()));
    if (e.kind == FileError::Kind::ExternalData) return report(usage(name, "'" + e.name + "': " + e.message()));
    return report(failure_of(e));
  }
  const file::Written& w = written.value();
  clear_progress_line();
  if (!w.changed)
    std::fprintf(stderr, "%s: holds no C2PA data; left as it is\n", escaped(m.name()).c_str());
  if (out->dropped_set_id())
    std::fprintf(stderr, "%s: the set-user-ID and set-group-ID bits were cleared\n", escaped(out->name()).c_str());
  if (!a.json) return kSuccess;

  // As the module's FileResult: the range only when a data hash wants it.
  const bool hashing = a.reserve_size || a.algorithm;
  std::string line = "{\"path\": ";
  line += json_string(out->name());
  line += ", \"state\": \"written\"";
  line += ", \"size\": ";
  line += std::to_string(w.size);
  line += ", \"store_range\": ";
  line += json_range(hashing ? w.store_range : std::nullopt);
  line += ", \"digest\": ";
  line += w.digest ? json_string(hex_digits(*w.digest)) : "null";
  line += "}";
  return print_line(line);
}

int run_embed(const Args& a) { return run_rewrite("embed", a, true); }

int run_strip(const Args& a) { return run_rewrite("strip", a, false); }

// The signed store over the reserved one, in place. The store is read first:
// the model's format decides its stored form, and so where it must fit.
int run_patch(const Args& a) {
  const std::string& path = a.models[0];
  auto store = read_store(*a.store);
  if (!store.ok()) return report(failure(store.error()));
  auto patched = file::patch_store(path, store.value());
  if (patched.ok()) {
    if (patched.value().dropped_set_id)
      std::fprintf(stderr, "%s: the set-user-ID and set-group-ID bits were cleared\n", escaped(path).c_str());
    return kSuccess;
  }
  const FileError& e = patched.error();
  if (e.kind == FileError::Kind::NotRegular)
    return report(usage("patch", "the model must be a regular file, which '" + path + "' is not"));
  if (e.kind == FileError::Kind::HardLinked) return report(usage("patch", "'" + path + "': " + e.message()));
  return report(failure_of(e));
}

int run_hash(const Args& a) {
  auto model = open_model(a.models[0], Model::Access::Read);
  if (!model.ok()) return report(failure(model.error()));
  std::optional<std::vector<Exclusion>> excluded;
  if (!a.exclude.empty()) excluded = a.exclusions;
  auto digest = file::data_hash(model.value(), a.algorithm.value_or(Algorithm::SHA256), excluded, {});
  if (!digest.ok()) return report(failure_of(digest.error()));
  return print_line(hex_digits(digest.value()));
}

const CommandEntry kCommands[] = {
    {"info", kInfoHelp, run_info},
    {"read", kReadHelp, run_read},
    {"read-uri", kReadUriHelp, run_read_uri},
    {"embed", kEmbedHelp, run_embed},
    {"strip", kStripHelp, run_strip},
    {"patch", kPatchHelp, run_patch},
    {"hash", kHashHelp, run_hash},
};
static_assert(std::size(kCommands) == kHash + 1);

// Commands that need the C2PA SDK, a Python package: handed, with their
// arguments, to the Python entry point that pip installs beside this program
// (its shebang names the interpreter the package was installed into).
constexpr const char* kHandedOff[] = {"sign", "verify", "exec"};
constexpr const char* kEntryPoint = "tarnwick-c2pa";

int hand_off(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.push_back(const_cast<char*>(kEntryPoint));
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::fflush(nullptr);
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string beside;
  if (n > 0) {
    const std::string path(self, static_cast<std::size_t>(n));
    beside = path.substr(0, path.rfind('/') + 1) + kEntryPoint;
    if (access(beside.c_str(), X_OK) == 0) execv(beside.c_str(), args.data());
  } else {
    execvp(kEntryPoint, args.data());  // no /proc: the one on PATH
  }
  if (argv[0] == "info")
    std::fprintf(stderr, "tarnwick info of a model of many files needs the tarnwick Python package\n");
  else if (argv[0] == "help")
    std::fprintf(stderr, "tarnwick help %s needs the C2PA SDK: pip install 'tarnwick[c2pa]'\n",
                 argv.size() > 1 ? escaped(argv[1]).c_str() : "");
  else
    std::fprintf(stderr, "tarnwick %s needs the C2PA SDK: pip install 'tarnwick[c2pa]'\n", argv[0].c_str());
  std::fprintf(stderr, "(cannot run %s: %s)\n", beside.empty() ? kEntryPoint : beside.c_str(), std::strerror(errno));
  return kUsage;
}

// The entry file of a model of many files (an index, a first split by its
// name, an ONNX file with external data or whose external data cannot be
// told): what `info` hands to the Python entry point, which knows the
// model's members.
bool is_model_entry(const std::string& path) {
  if (path == "-") return false;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  const auto ends_with = [&](std::string_view end) {
    return path.size() >= end.size() && path.compare(path.size() - end.size(), end.size(), end) == 0;
  };
  if (ends_with(".safetensors.index.json")) return true;
  if (ends_with(".gguf")) {
    // PREFIX-00001-of-NNNNN.gguf with NNNNN past 1.
    constexpr std::string_view kFirst = "-00001-of-";
    const std::size_t tail = kFirst.size() + 5 + 5;
    if (path.size() <= tail) return false;
    const std::string_view rest = std::string_view(path).substr(path.size() - tail);
    const std::string_view count = rest.substr(kFirst.size(), 5);
    return rest.substr(0, kFirst.size()) == kFirst &&
           std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; }) && count != "00000" &&
           count != "00001";
  }
  if (!ends_with(".onnx")) return false;
  auto model = Model::open(path, Model::Access::File);
  if (!model.ok()) return false;
  const Model& m = model.value();
  Result<bool> external =
      has_external_data(m.bytes(), [&](std::uint64_t offset, std::uint64_t length) {
        return m.load_range(offset, length).ok();
      });
  // One the walk cannot read through goes to the entry point too, which
  // refuses it with the walk's message.
  return !external.ok() || external.value();
}

int print_help(std::string_view text) {
  if (standard_output_was_closed()) return report(stdout_closed());
  std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? kSuccess : report(failure(FileError::system(kStdoutName, errno)));
}

// The edit distance of two short words (commands), for "did you mean".
std::size_t distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Every command, native or handed off, for "did you mean".
std::vector<std::string_view> command_names() {
  std::vector<std::string_view> names;
  for (const CommandEntry& c : kCommands) names.push_back(c.name);
  for (const char* name : kHandedOff) names.push_back(name);
  names.push_back("help");
  return names;
}

Failure unknown_command(const std::string& word) {
  std::string_view best;
  std::size_t best_distance = 3;  // at most two edits away
  if (word.size() < 64) {
    for (std::string_view name : command_names()) {
      const std::size_t d = distance(word, name);
      if (d < best_distance && d < std::max<std::size_t>(name.size(), 2)) best = name, best_distance = d;
    }
  }
  Failure f = usage("", "unknown command '" + word + "'");
  if (!best.empty()) f.hint = "Did you mean '" + std::string(best) + "'?\n" + f.hint;
  return f;
}

bool handed_off(const std::string& name) {
  return std::any_of(std::begin(kHandedOff), std::end(kHandedOff), [&](const char* h) { return name == h; });
}

// `tarnwick help [COMMAND]`: the same text as `COMMAND --help`.
int run_help(const std::vector<std::string>& argv) {
  if (argv.size() < 2) return print_help(kMainHelp);
  if (argv.size() > 2) return report(usage("help", "unexpected argument '" + argv[2] + "'"));
  const std::string& name = argv[1];
  for (const CommandEntry& c : kCommands)
    if (c.name == name) return print_help(c.help);
  if (handed_off(name)) return hand_off({name, "--help"});
  return report(unknown_command(name));
}

int run(const std::vector<std::string>& argv) {
  if (argv.empty()) return report(usage("", "missing command"));
  const std::string& first = argv[0];
  if (first == "-h" || first == "--help") return print_help(kMainHelp);
  if (first == "--version") return print_help("tarnwick " TARNWICK_VERSION "\n");
  if (first == "help") return run_help(argv);
  for (const char* name : kHandedOff) {
    if (first == name) return hand_off(argv);
  }
  for (std::size_t c = 0; c < std::size(kCommands); ++c) {
    const CommandEntry& entry = kCommands[c];
    if (entry.name != first) continue;
    auto command = static_cast<Command>(c);
    Args args;
    if (auto f = parse(command, entry.name, {argv.begin() + 1, argv.end()}, args)) return report(*f);
    if (args.help) return print_help(entry.help);
    if (auto f = check(command, entry.name, args)) return report(*f);
    if (command == kInfo && std::any_of(args.models.begin(), args.models.end(), is_model_entry))
      return hand_off(argv);
    return with_memory_failure(args.models[0], [&] { return entry.run(args); });
  }
  if (first.size() > 1 && first[0] == '-') return report(usage("", "unknown option '" + first + "'"));
  return report(unknown_command(first));
}

}  // namespace
}  // namespace tarnwick::cli

int main(int argc, char** argv) {
  using namespace tarnwick::cli;
  if (!ensure_standard_descriptors()) return kIoFailure;
  install_signal_handlers();
  try {
    // argc may be 0 (execve with an empty argv): no arguments at all then.
    std::vector<std::string> args;
    if (argc > 1) args.assign(argv + 1, argv + argc);
    return run(args);
  } catch (const std::bad_alloc&) {
    std::fputs("tarnwick: out of memory\n", stderr);
    return kIoFailure;
  }
}
