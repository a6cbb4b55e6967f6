// orvik-host frames: feeds a byte stream to the frame parser in chunks of a
// chosen size, as a host reading a serial port would, and prints each frame
// as one line of lowercase hex, in delivery order.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/BinaryInput.h"
#include "refhost/cli/Commands.h"
#include "serial/ParseBinary.h"

namespace {

// One Feed call takes a signed 32-bit count; a bigger chunk would only waste memory.
constexpr int64_t MaxChunk = int64_t{1} << 26;

struct TFramesOptions {
  int Mode = 0;
  int64_t Chunk = 4096;
  std::string File;  // empty or "-": standard input
};

void PrintFrame(void* context, void*, const TByteString& frame) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string line;
  line.reserve(frame.size() * 2 + 1);
  for (char c : frame.view()) {
    const auto b = static_cast<uint8_t>(c);
    line += digits[b >> 4];
    line += digits[b & 0x0F];
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), static_cast<std::FILE*>(context));
}

int Fail(const std::string& what, int error) {
  std::fprintf(stderr, "orvik-host frames: %s: %s\n", what.c_str(), std::strerror(error));
  return ExitBadInput;
}

int RunFrames(const TFramesOptions& options) {
  const bool fromStdin = options.File.empty() || options.File == "-";
  const std::string name = fromStdin ? "standard input" : "'" + options.File + "'";
  std::FILE* in = stdin;
  if (fromStdin) {
    SetStdinBinary();
  } else if ((in = std::fopen(options.File.c_str(), "rb")) == nullptr) {
    return Fail("cannot open " + name, errno);
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(fromStdin ? nullptr : in, &std::fclose);

  TSerialBinaryParse parser(nullptr);
  parser.SetMode(static_cast<uint8_t>(options.Mode));
  parser.SetOnFrame(&PrintFrame, stdout);
  std::vector<char> chunk(static_cast<std::size_t>(options.Chunk));
  // fread fills the whole chunk unless the input ends, so every Feed but the
  // last gets exactly the chosen size.
  for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0;)
    parser.Feed(chunk.data(), static_cast<int32_t>(n));
  if (std::ferror(in)) return Fail("cannot read " + name, errno);

  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "orvik-host frames: cannot write the output: %s\n", std::strerror(errno));
    return ExitFailure;
  }
  return ExitOk;
}

}  // namespace

TCommand AddFramesCommand(CLI::App& app) {
  auto options = std::make_shared<TFramesOptions>();
  CLI::App* cmd = app.add_subcommand(
      "frames", "Cut a byte stream into frames and print each frame as a line of lowercase hex.");
  cmd->add_option("--mode", options->Mode,
                  "Framing mode: 0 CR-terminated text lines, 1 marked (0x82..0x83), 2 flagged (~), 3 DLE ETX")
      ->required()
      ->check(CLI::Range(0, 3));
  cmd->add_option("--chunk", options->Chunk, "Bytes per Feed call, 1 to 67108864 (default 4096)")
      ->check(CLI::Range(int64_t{1}, MaxChunk));
  cmd->add_option("FILE", options->File, "Input file (default: standard input)");
  return {cmd, [options] { return RunFrames(*options); }};
}
