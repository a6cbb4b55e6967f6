#include "refhost/cli/OutputPlan.h"

#include <sys/statvfs.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "refhost/output/OutputFile.h"

namespace fs = std::filesystem;

namespace {

fs::path Resolved(const std::string& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  const fs::path resolved = fs::weakly_canonical(absolute, error);
  return error ? absolute.lexically_normal() : resolved;
}

bool IsDevice(const std::string& path) {
  std::error_code error;
  const fs::file_status s = fs::status(path, error);
  return fs::exists(s) && !fs::is_regular_file(s) && !fs::is_directory(s);
}

bool Same(const std::string& a, const std::string& b) {
  if (Resolved(a) == Resolved(b)) return true;
  std::error_code error;
  return fs::equivalent(a, b, error);  // hard links; false when either is missing
}

std::string Named(const std::string& role, const std::string& path) {
  return role == path ? path : role + " " + path;
}

}  // namespace

void TOutputPlan::Input(const std::string& path, const std::string& role) {
  Entries.push_back({path, role, false, false, false});
}

void TOutputPlan::Output(const std::string& path, const std::string& role, bool keep) {
  Entries.push_back({path, role, true, keep, false});
}

void TOutputPlan::Folder(const std::string& dir, const std::vector<std::string>& files) {
  Dir = dir;
  DirFiles = files;
  for (const std::string& f : files)
    Entries.push_back({(fs::path(dir) / f).string(), "the session's file", true, false, true});
}

std::string TOutputPlan::Problem(bool force) const {
  std::error_code error;
  if (!Dir.empty() && fs::exists(Dir, error) && !fs::is_directory(Dir, error))
    return "--out " + Dir + " is a file, not a folder: give the name of a folder (a new one is created)";
  for (const TEntry& e : Entries) {
    if (e.Output && fs::is_directory(e.Path, error)) return Named(e.Role, e.Path) + " is a folder: give a file name";
    if (!Dir.empty() && !e.InFolder && Same(e.Path, Dir))
      return Named(e.Role, e.Path) + " is the output folder --out " + Dir + ": give a file outside it";
  }
  // Paths that coincide first: --force does not mend them.
  for (size_t i = 0; i < Entries.size(); ++i) {
    for (size_t j = i + 1; j < Entries.size(); ++j) {
      const TEntry& a = Entries[i];
      const TEntry& b = Entries[j];
      if (!a.Output && !b.Output) continue;
      // A device is nothing to lose: two outputs may both go to /dev/null.
      if (a.Output && b.Output && IsDevice(a.Path)) continue;
      if (!Same(a.Path, b.Path)) continue;
      const TEntry& in = a.Output ? b : a;
      const TEntry& out = a.Output ? a : b;
      if (!in.Output)
        return Named(out.Role, out.Path) + " would overwrite " + Named(in.Role, in.Path) +
               ", which this run reads: give the output another path (--out)";
      return Named(a.Role, a.Path) + " and " + Named(b.Role, b.Path) +
             " are the same file: give each output a path of its own";
    }
  }
  if (force) return "";
  if (!Dir.empty()) {
    std::string held;
    for (const std::string& f : DirFiles)
      if (fs::exists(fs::path(Dir) / f, error)) held += (held.empty() ? "" : ", ") + f;
    if (!held.empty())
      return "--out " + Dir + " already holds a session (" + held +
             "): give a new folder with --out, or add --force to replace that session";
  }
  for (const TEntry& e : Entries)
    if (e.Keep && fs::exists(e.Path, error) && !IsDevice(e.Path))
      return Named(e.Role, e.Path) + " already exists: give another name, or add --force to replace it";
  return "";
}

bool TOutputPlan::Check(bool force) const {
  const std::string problem = Problem(force);
  if (problem.empty()) return true;
  std::fprintf(stderr, "orvik-host %s: %s\n", Command.c_str(), problem.c_str());
  return false;
}

std::string LogPathProblem(const std::string& path) {
  if (IsDevice(path))
    return "--log " + path +
           " is not a regular file: the plug-in keeps its write errors to itself, so orvik-host checks the log "
           "as a file afterwards; give a file name";
  try {
    CheckOutputPath(path);
  } catch (const EOutputWrite& e) {
    return std::string("--log: ") + e.what();
  }
  return "";
}

std::string LogWriteProblem(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return "the raw log " + path + " was not written: check its folder";
  const std::streamoff size = in.tellg();
  char end[2] = {0, 0};
  if (size >= 2) {
    in.seekg(size - 2);
    in.read(end, 2);
  }
  struct statvfs disk {};
  const fs::path folder = Resolved(path).parent_path();
  const bool full = ::statvfs(folder.c_str(), &disk) == 0 && disk.f_bavail == 0;
  if ((size > 0 && !(end[0] == '\r' && end[1] == '\n')) || full)
    return "the raw log " + path + " is cut off: its disk " + (full ? "is full" : "failed") +
           "; free some space (the session's own files are complete unless said otherwise)";
  return "";
}
