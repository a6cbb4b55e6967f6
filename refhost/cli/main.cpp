// orvik-host: reference host tools for the Orvik7316 plug-in.
#include <vector>

#include "refhost/cli/Commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Reference host tools for the Orvik7316 plug-in.", "orvik-host"};
  app.require_subcommand(1);
  const std::vector<TCommand> commands{AddFramesCommand(app), AddLiveCommand(app), AddSimulateHandsetCommand(app), AddReplayCommand(app),
                                       AddExportCommand(app),
                                       AddReportCommand(app)};

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help ends here with status 0; real argument errors print their
    // message on stderr and end with the bad-input status.
    const int status = app.exit(e);
    return status == 0 ? ExitOk : ExitBadInput;
  }
  for (const TCommand& c : commands)
    if (c.Parsed->parsed()) return c.Run();
  return ExitBadInput;
}
