// Runs one of our programs as a separate process in a scratch folder, with
// chosen environment variables, and collects its exit status and output.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace test_support {

struct ProgramRun {
  int status = -1;     // the exit status as the program returned it (-1 stays -1)
  std::string output;  // standard output, and standard error unless kept apart
  std::string errors;  // standard error, when kept apart
};

inline void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
#endif
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Standard output as a file gives it on Windows, in text mode: every "\n"
// arrived as "\r\n".
inline std::string withoutCarriageReturns(const std::string& text) {
#ifdef _WIN32
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
  return lines;
#else
  return text;
#endif
}

// Runs `program` with `arguments` in `folder`; standard input is empty.
// Standard error goes with standard output into `output`, or, with
// `errorsApart`, into `errors`.
inline ProgramRun runProgram(const std::string& program, const std::string& arguments,
                             const std::filesystem::path& folder,
                             const std::map<std::string, std::optional<std::string>>& environment,
                             bool errorsApart = false) {
  for (const auto& [name, value] : environment) setEnvironment(name, value);
  auto outputFile = folder / "program-output.txt";
  auto errorFile = folder / "program-errors.txt";
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  // Built by appending: GCC 12 at -O2 sees a false overlap (-Wrestrict) in
  // the memcpy of a chain of operator+ that starts from a literal.
#ifdef _WIN32
  const char quote = '"';
  std::string command = "\"";
#else
  const char quote = '\'';
  std::string command;
#endif
  const auto quoted = [quote](const std::string& text) { return quote + text + quote; };
  command += quoted(program);
  command += ' ';
  command += arguments;
#ifdef _WIN32
  command += " < NUL > ";
#else
  command += " < /dev/null > ";
#endif
  command += quoted(outputFile.string());
  command += " 2>";
  command += errorsApart ? quoted(errorFile.string()) : std::string("&1");
#ifdef _WIN32
  command += '"';
#endif
  int raw = std::system(command.c_str());
  std::filesystem::current_path(previous);
  for (const auto& entry : environment) setEnvironment(entry.first, std::nullopt);

  ProgramRun run;
#ifdef _WIN32
  run.status = raw;
#else
  run.status = WIFEXITED(raw) ? static_cast<signed char>(WEXITSTATUS(raw)) : -1000;
#endif
  run.output = withoutCarriageReturns(readFile(outputFile));
  std::filesystem::remove(outputFile);
  if (errorsApart) {
    run.errors = withoutCarriageReturns(readFile(errorFile));
    std::filesystem::remove(errorFile);
  }
  return run;
}

// A fresh empty folder under "scratch" in the current folder (CTest runs
// each test in its build folder), so that test runs of two build trees at
// the same time never share one.
inline std::filesystem::path scratchFolder(const std::string& name) {
  auto folder = std::filesystem::absolute("scratch") / ("kpxadac-" + name);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace test_support
