#include "global.h"

namespace quorvex {

TOptions::TOptions() {}
void TOptions::Load(int) {}
void TOptions::Save() const {}
void TOptions::LoadFromText(const std::string&, int) {}
std::string TOptions::SaveToText() const { return {}; }
TkvFormPlacement TOptions::ApplyTo(const std::vector<TkvRect>&, TkvSize) const { return {}; }
void TOptions::StoreFrom(const TkvFormState&) {}
std::string SettingsFileName(const std::string&, const std::string&) { return {}; }
TkvRect FitOnMonitors(const TkvRect& Rect, const std::vector<TkvRect>&) { return Rect; }

}  // namespace quorvex
