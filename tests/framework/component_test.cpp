// Components: ownership, free notification, loading and designing states.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kvframework.h"

namespace kv {
namespace {

// What a probe heard: an insertion (+) or removal (-) of which component.
struct THeard {
  char Op;
  const TComponent* What;
  bool operator==(const THeard& o) const { return Op == o.Op && What == o.What; }
};

struct TJournal {
  std::vector<std::string> Lines;  // "free X", "loaded X"
  std::vector<std::pair<std::string, THeard>> Heard;
  // What the probe tagged `who` heard, in order.
  std::vector<THeard> Of(const std::string& who) const {
    std::vector<THeard> out;
    for (const auto& h : Heard)
      if (h.first == who) out.push_back(h.second);
    return out;
  }
  void Clear() {
    Lines.clear();
    Heard.clear();
  }
};

void PrintTo(const THeard& h, std::ostream* os) { *os << h.Op << static_cast<const void*>(h.What); }

// Records what happens to it in a journal shared by a test's components.
// Components are told by pointer: while one is being built or destroyed its
// dynamic class is TComponent, so pointers are what a test can compare.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::string tag, TJournal* journal)
      : TComponent(owner), FTag(std::move(tag)), FJournal(journal) {}
  ~TProbe() override { FJournal->Lines.push_back("free " + FTag); }

  // A reference kept the way components keep them: cleared on removal.
  TComponent* Ref = nullptr;
  void SetRef(TComponent* other) {
    if (Ref) Ref->RemoveFreeNotification(this);
    Ref = other;
    if (other) other->FreeNotification(this);
  }
  bool LoadingInLoaded = false;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    FJournal->Heard.push_back({FTag, {operation == opInsert ? '+' : '-', component}});
    if (operation == opRemove && component == Ref) Ref = nullptr;
  }
  void Loaded() override {
    LoadingInLoaded = Loading();
    TComponent::Loaded();
    FJournal->Lines.push_back("loaded " + FTag);
  }

 private:
  std::string FTag;
  TJournal* FJournal;
};

std::vector<std::string> Matching(const TJournal& journal, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : journal.Lines)
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  return out;
}

TEST(Component, OwnerFreesItsComponentsLastCreatedFirst) {
  TJournal journal;
  auto* form = new TProbe(nullptr, "form", &journal);
  auto* a = new TProbe(form, "a", &journal);
  new TProbe(form, "b", &journal);
  new TProbe(a, "a1", &journal);
  ASSERT_EQ(form->ComponentCount(), 2);
  EXPECT_EQ(form->Components(0), a);
  EXPECT_EQ(a->Owner(), form);

  delete form;
  // Each probe's own destructor runs before the framework frees what it owns.
  EXPECT_EQ(Matching(journal, "free "),
            (std::vector<std::string>{"free form", "free b", "free a", "free a1"}));
}

TEST(Component, InsertAndRemoveAreToldToTheOwnerAndItsComponents) {
  TJournal journal;
  TProbe form(nullptr, "form", &journal);
  auto* a = new TProbe(&form, "a", &journal);
  journal.Clear();
  auto* b = new TProbe(&form, "b", &journal);
  // The owner and each of its components hear of b.
  EXPECT_EQ(journal.Of("form"), (std::vector<THeard>{{'+', b}}));
  EXPECT_EQ(journal.Of("a"), (std::vector<THeard>{{'+', b}}));

  journal.Clear();
  delete b;
  EXPECT_EQ(journal.Of("form"), (std::vector<THeard>{{'-', b}}));
  EXPECT_EQ(journal.Of("a"), (std::vector<THeard>{{'-', b}}));
  EXPECT_EQ(form.ComponentCount(), 1);
  EXPECT_EQ(form.Components(0), a);
}

TEST(Component, FreeNotificationClearsAReferenceToAFreedComponent) {
  TJournal journal;
  TProbe box(nullptr, "box", &journal);
  auto* usb = new TProbe(nullptr, "usb", &journal);
  box.SetRef(usb);
  const TComponent* gone = usb;
  delete usb;
  EXPECT_EQ(box.Ref, nullptr);
  EXPECT_EQ(journal.Of("box"), (std::vector<THeard>{{'-', gone}}));
}

TEST(Component, FreeNotificationWorksBothWaysAndCanBeWithdrawn) {
  TJournal journal;
  auto* box = new TProbe(nullptr, "box", &journal);
  auto* usb = new TProbe(nullptr, "usb", &journal);
  box->SetRef(usb);
  // The referring one goes first: the referenced one must not keep a dangling
  // entry (sanitizers catch a later call into the freed box).
  const TComponent* gone = box;
  delete box;
  EXPECT_EQ(journal.Of("usb"), (std::vector<THeard>{{'-', gone}}));
  journal.Clear();
  delete usb;
  EXPECT_EQ(journal.Lines, std::vector<std::string>{"free usb"});
  EXPECT_TRUE(journal.Heard.empty());

  TProbe log(nullptr, "log", &journal);
  auto* other = new TProbe(nullptr, "other", &journal);
  log.SetRef(other);
  log.SetRef(nullptr);
  journal.Clear();
  delete other;
  EXPECT_TRUE(journal.Of("log").empty());
}

TEST(Component, SiblingsFreedByTheirOwnerClearReferencesToEachOther) {
  TJournal journal;
  auto* form = new TProbe(nullptr, "form", &journal);
  auto* box = new TProbe(form, "box", &journal);  // created first, freed last
  auto* usb = new TProbe(form, "usb", &journal);
  box->SetRef(usb);
  usb->SetRef(box);
  journal.Clear();
  delete form;
  EXPECT_EQ(journal.Of("box"), (std::vector<THeard>{{'-', usb}}));
  EXPECT_EQ(Matching(journal, "free "),
            (std::vector<std::string>{"free form", "free usb", "free box"}));
}

TEST(Component, NamesAreFoundWithoutRegardToCaseAndAreUniquePerOwner) {
  TComponent form(nullptr);
  auto* a = new TComponent(&form);
  a->SetName("kvUSB1");
  auto* b = new TComponent(&form);
  EXPECT_EQ(form.FindComponent("KVUSB1"), a);
  EXPECT_EQ(form.FindComponent("kvUsbDriver1"), nullptr);
  EXPECT_THROW(b->SetName("KvUsb1"), EkvException);
  EXPECT_EQ(b->Name(), "");
  a->SetName("kvUSB1");  // renaming to its own name is no clash
  TComponent other(nullptr);
  other.SetName("kvUSB1");
  EXPECT_THROW(form.InsertComponent(&other), EkvException);
  EXPECT_EQ(other.Owner(), nullptr);
}

TEST(Component, EndLoadingRunsLoadedOwnerFirstThenComponentsInCreationOrder) {
  TJournal journal;
  TProbe form(nullptr, "form", &journal);
  auto* before = new TProbe(&form, "a", &journal);
  form.BeginLoading();
  auto* during = new TProbe(&form, "b", &journal);  // read from the form description
  auto* nested = new TProbe(before, "a1", &journal);
  EXPECT_TRUE(form.Loading());
  EXPECT_TRUE(before->Loading());
  EXPECT_TRUE(during->Loading());
  EXPECT_TRUE(nested->Loading());

  form.EndLoading();
  EXPECT_EQ(Matching(journal, "loaded "),
            (std::vector<std::string>{"loaded form", "loaded a", "loaded a1", "loaded b"}));
  EXPECT_TRUE(form.LoadingInLoaded);  // Loaded runs while still loading
  EXPECT_FALSE(form.Loading());
  EXPECT_FALSE(during->Loading());
  EXPECT_FALSE(nested->Loading());

  journal.Clear();
  new TProbe(&form, "c", &journal);  // created at run time: not loading
  form.EndLoading();
  EXPECT_EQ(Matching(journal, "loaded "), std::vector<std::string>{});
}

TEST(Component, ALoadedThatThrowsStillEndsItsLoadingState) {
  struct TFailing : TComponent {
    using TComponent::TComponent;
    void Loaded() override { throw Exception("bad property"); }
  };
  TFailing c(nullptr);
  c.BeginLoading();
  EXPECT_THROW(c.EndLoading(), Exception);
  EXPECT_FALSE(c.Loading());
}

TEST(Component, DesigningReachesOwnedComponentsAndLaterOnes) {
  TComponent form(nullptr);
  auto* a = new TComponent(&form);
  form.SetDesigning(true);
  auto* b = new TComponent(&form);
  EXPECT_TRUE(a->Designing());
  EXPECT_TRUE(b->Designing());
  EXPECT_EQ(form.ComponentState() & csLoading, 0u);
  form.SetDesigning(false, false);
  EXPECT_FALSE(form.Designing());
  EXPECT_TRUE(a->Designing());
}

}  // namespace
}  // namespace kv
