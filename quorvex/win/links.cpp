#include "kvplatform.h"
#include "links.h"

namespace quorvex::win {

const char* const kLibraryHomePage = "ARCHITECTURE.md";
const char* const kMakerHomePage = "README.md";
const char* const kMakerMail = "mailto:quorvex@velmora.example";
const char* const kLibraryName = "kvLink Library";
const char* const kMakerHomeText = "Quorvex read-me";
const char* const kMakerMailText = "quorvex@velmora.example";

std::string LinkTarget(const char* target) {
  const std::string text = target;
  if (text.find(':') != std::string::npos) return text;  // an address with a scheme
  char module[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string folder(module, length < MAX_PATH ? length : 0);
  const std::size_t slash = folder.find_last_of("\\/");
  folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  return folder + text;
}

void OpenLink(HWND owner, const char* target) {
  kv::Host().ShellExecuteA(reinterpret_cast<kv::HWND>(owner), "open", LinkTarget(target).c_str(), nullptr, nullptr,
                           SW_SHOWDEFAULT);
}

}  // namespace quorvex::win
