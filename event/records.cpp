#include "event/records.h"

#include <cstring>

#include "event/text.h"

namespace acdc::event {

const char kEmptyText[1] = "";

namespace {

// Field visitors, chosen by the field's type: a text buffer is its own kind.
struct ResetField {
  template <size_t N>
  void operator()(char (&buf)[N]) const { ClearText(buf, N); }
  template <typename T>
  void operator()(T& v) const { v = T{}; }
};

struct CheckText {
  bool* clean;
  template <size_t N>
  void operator()(const char (&buf)[N]) const {
    size_t n = strnlen(buf, N);
    if (n == N) {
      *clean = false;
      return;
    }
    for (size_t i = n; i < N; ++i)
      if (buf[i] != '\0') *clean = false;
  }
  template <typename T>
  void operator()(const T&) const {}
};

template <typename Record, typename Visit>
void ForEachField(Record& r, Visit visit) {
#define ACDC_VISIT_DATA(type, name, extent) visit(r.data.name);
#define ACDC_VISIT_EVENT(type, name, extent) visit(r.event.name);
#define ACDC_VISIT_REPLY(type, name, extent) visit(r.reply.name);
  ACDC_AC_EVENT_DATA_FIELDS(ACDC_VISIT_DATA)
  ACDC_AC_EVENT_FIELDS(ACDC_VISIT_EVENT)
  ACDC_AC_REPLY_FIELDS(ACDC_VISIT_REPLY)
#undef ACDC_VISIT_DATA
#undef ACDC_VISIT_EVENT
#undef ACDC_VISIT_REPLY
  visit(r.messageId);
}

}  // namespace

void ResetEventRecord(EventRecord* r) {
  ForEachField(*r, ResetField{});
  r->event.evt = &r->data;
  r->event.basedir = kEmptyText;
}

void ClearEventRecord(EventRecord* r) {
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->event.evt = &r->data;
  r->event.basedir = kEmptyText;
}

bool EventRecordTextsAreClean(const EventRecord& r) {
  bool clean = true;
  ForEachField(r, CheckText{&clean});
  return clean;
}

}  // namespace acdc::event
