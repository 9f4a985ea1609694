// Run() of fixtures/Samples.h for the Windows build: programs are started with
// CreateProcessW, their output collected in temporary files.
#include "fixtures/Samples.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>


#include "core/text/Utf.h"

namespace korvalane::testing {
namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = FromUtf8(utf8);
  return std::wstring(text.begin(), text.end());
}

// One argument as the C runtime's command-line parser splits it back: quoted when it
// holds a blank or a quote, backslashes doubled where they come before a quote.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

// A temporary file the child may inherit, deleted when its last handle closes.
HANDLE TemporaryFile() {
  wchar_t dir[MAX_PATH + 1] = {};
  wchar_t name[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH, dir) == 0 || GetTempFileNameW(dir, L"kv", 0, name) == 0) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string ReadAll(HANDLE file) {
  std::string text;
  LARGE_INTEGER start{};
  if (file == INVALID_HANDLE_VALUE || SetFilePointerEx(file, start, nullptr, FILE_BEGIN) == FALSE) return text;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) != FALSE && got > 0) text.append(chunk, got);
  return text;
}

}  // namespace

CommandResult Run(const std::vector<std::string>& argv) {
  CommandResult result;
  if (argv.empty()) return result;
  std::wstring commandLine;
  for (const std::string& arg : argv) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += Quoted(Wide(arg));
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                nullptr);
  const HANDLE out = TemporaryFile();
  const HANDLE err = TemporaryFile();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) !=
          FALSE) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    if (GetExitCodeProcess(process.hProcess, &status) != FALSE) result.Status = static_cast<int>(status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  result.Out = ReadAll(out);
  result.Err = ReadAll(err);
  for (const HANDLE handle : {in, out, err}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  return result;
}

}  // namespace korvalane::testing
