// Every path a run reads and writes, checked before anything is opened: no
// output is an input or another output (compared as resolved paths, through
// links and ".."), a folder is not given where a file is wanted nor the other
// way round, and what an earlier run left is not overwritten without --force.
#pragma once

#include <string>
#include <vector>

class TOutputPlan {
 public:
  explicit TOutputPlan(std::string command) : Command(std::move(command)) {}

  // A file the run reads.
  void Input(const std::string& path, const std::string& role);
  // A file the run writes; `keep`: an existing one is replaced only with
  // --force.
  void Output(const std::string& path, const std::string& role, bool keep);
  // The output folder `dir` (role "--out") and the files the run writes in
  // it; a folder that already holds one of them is kept without --force.
  void Folder(const std::string& dir, const std::vector<std::string>& files);

  // Prints the first problem as "orvik-host COMMAND: ..." (what to give
  // instead) and returns false; true when the plan is sound.
  bool Check(bool force) const;

 private:
  struct TEntry {
    std::string Path;
    std::string Role;
    bool Output = false;
    bool Keep = false;
    bool InFolder = false;  // one of the output folder's files
  };
  std::string Problem(bool force) const;

  std::string Command;
  std::vector<TEntry> Entries;
  std::string Dir;  // the output folder, "" when there is none
  std::vector<std::string> DirFiles;
};

// After a run: "" when the plug-in's raw log at `path` looks whole, else why
// not (missing, cut off in a line, or its disk filled up). The plug-in keeps
// its own write errors to itself, so the file is all the host can check.
std::string LogWriteProblem(const std::string& path);
// Before a run: "" when a log could be created at `path`, else why not.
std::string LogPathProblem(const std::string& path);
