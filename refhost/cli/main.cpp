// orvik-host: reference host tools for the Orvik7316 plug-in.
#include <cstdio>
#include <string>
#include <vector>

#include "refhost/cli/Commands.h"
#include "refhost/output/OutputFile.h"

int main(int argc, char** argv) {
  CLI::App app{"Reference host tools for the Orvik7316 plug-in.", "orvik-host"};
  app.require_subcommand(1);
  const std::vector<TCommand> commands{AddFramesCommand(app),  AddLiveCommand(app),   AddSimulateHandsetCommand(app),
                                       AddReplayCommand(app),  AddExportCommand(app), AddReportCommand(app),
                                       AddKpiCommand(app)};

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help ends here with status 0; real argument errors say which
    // command they are about and end with the bad-input status.
    if (e.get_exit_code() == 0) return app.exit(e) == 0 ? ExitOk : ExitBadInput;
    std::string name;
    for (const TCommand& c : commands)
      if (c.Parsed->parsed()) name = c.Parsed->get_name();
    const std::string command = name.empty() ? "orvik-host" : "orvik-host " + name;
    std::fprintf(stderr, "%s: %s\nRun '%s --help' for the options.\n", command.c_str(), e.what(), command.c_str());
    return ExitBadInput;
  }
  for (const TCommand& c : commands) {
    if (!c.Parsed->parsed()) continue;
    SetOutputCommandName(c.Parsed->get_name());
    const int status = c.Run();
    // A file that failed where it could not say so at once (a close, a
    // writer's own thread) was reported then; the run did not succeed.
    return status == ExitOk && OutputFailuresNoted() > 0 ? ExitFailure : status;
  }
  return ExitBadInput;
}
