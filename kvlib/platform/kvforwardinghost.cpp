#include "kvforwardinghost.h"

#include <cstring>
#include <string>

namespace kv {

namespace {

// The first `count` items of a double-NUL-terminated list, as such a list.
std::string FirstItems(const char* list, unsigned count) {
  std::string out;
  for (const char* p = list; p && *p && count > 0; p += std::strlen(p) + 1, --count) out.append(p, std::strlen(p) + 1);
  return out + '\0';
}

}  // namespace

TkvFailingFileOperations::TkvFailingFileOperations(TkvHost& inner)
    : TkvForwardingHost(inner), FPrevious(SetHost(this)) {}

TkvFailingFileOperations::~TkvFailingFileOperations() { SetHost(FPrevious); }

void TkvFailingFileOperations::Fail(unsigned count, int result, unsigned afterItems) {
  FCount = count;
  FResult = result;
  FAbort = false;
  FAfterItems = afterItems;
}

void TkvFailingFileOperations::Abort(unsigned count, unsigned afterItems) {
  Fail(count, static_cast<int>(ERROR_CANCELLED), afterItems);
  FAbort = true;
}

int TkvFailingFileOperations::SHFileOperationA(SHFILEOPSTRUCTA* op) {
  ++FCalls;
  if (FCount == 0 || !op) return TkvForwardingHost::SHFileOperationA(op);
  --FCount;
  op->fAnyOperationsAborted = FALSE;
  if (FAfterItems > 0) {
    // The part that is done before the failure: the first items, each with
    // its own destination when the destinations are paired.
    const std::string from = FirstItems(op->pFrom, FAfterItems);
    const bool paired = (op->fFlags & FOF_MULTIDESTFILES) != 0;
    const std::string to = op->pTo ? FirstItems(op->pTo, paired ? FAfterItems : 1) : std::string();
    SHFILEOPSTRUCTA part = *op;
    part.pFrom = from.c_str();
    part.pTo = op->pTo ? to.c_str() : nullptr;
    if (const int error = TkvForwardingHost::SHFileOperationA(&part)) return error;
  }
  if (FAbort) op->fAnyOperationsAborted = TRUE;
  return FResult;
}

}  // namespace kv
