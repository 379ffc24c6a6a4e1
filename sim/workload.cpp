#include "sim/workload.h"

#include <cstring>

#include "sim/driver_core.h"

namespace acdc::sim {

namespace {

// A quoted field may hold line breaks, so a quote that never closes would swallow
// the rest of the file; past this many physical lines the record is given up.
constexpr size_t kMaxRecordLines = 128;

// The message's name fields hold 1024 bytes of UTF-16.
constexpr size_t kNameFieldBytes = 1024;

constexpr OpEvent kOps[] = {
    {"exec", 18, 0, NameColumn::kPath},        // EVENT_EXEC_PRE: the new image, by its parent
    {"load", 10, 0, NameColumn::kPath},        // EVENT_CREATE_PRE: a module opened for execution
    {"create", 11, 1, NameColumn::kPath},      // EVENT_CREATE_POST
    {"stream", 11, 1, NameColumn::kPath},      // EVENT_CREATE_POST
    {"open_write", 12, 1, NameColumn::kPath},  // EVENT_CLEANUP_PRE: a written file's last handle
    {"exit", 12, 0, NameColumn::kImage},       // EVENT_CLEANUP_PRE: the image's last handle
    {"delete", 45, 0, NameColumn::kPath},      // EVENT_UNLINK_POST
    {"settime", 14, 0, NameColumn::kPath},     // EVENT_SETINFO_PRE
    {"setsec", 16, 0, NameColumn::kPath},      // EVENT_SETSECURITY_PRE
    {"rename", 35, 0, NameColumn::kNewPath},   // EVENT_RENAME_POST
};

// A decimal number of at most `max`; empty text only where `empty_ok`.
bool ParseDecimal(const std::string& text, uint64_t max, bool empty_ok, uint64_t* out) {
  *out = 0;
  if (text.empty()) return empty_ok;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

std::string Shown(const std::string& value) {
  std::string out = value.substr(0, 40);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return "'" + out + (value.size() > 40 ? "...'" : "'");
}

}  // namespace

bool CsvReader::NextLine(size_t* begin, size_t* end) {
  if (pos_ >= text_.size()) return false;
  *begin = pos_;
  size_t nl = text_.find('\n', pos_);
  *end = nl == std::string_view::npos ? text_.size() : nl;
  pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
  ++line_;
  return true;
}

bool CsvReader::Next(CsvRecord* out) {
  size_t b, e;
  if (!NextLine(&b, &e)) return false;
  out->line = line_;
  out->fields.clear();
  out->error.clear();
  const size_t first_line_end = pos_;
  size_t lines = 1;
  size_t i = b;
  std::string field;
  for (;;) {
    field.clear();
    if (i < e && text_[i] == '"') {
      ++i;
      for (;;) {
        size_t q = text_.find('"', i);
        if (q == std::string_view::npos || q >= e) {
          // The field goes on over the line end, which is part of its value.
          field.append(text_.substr(i, e - i));
          bool had_newline = e < text_.size();
          if (!had_newline || lines >= kMaxRecordLines || !NextLine(&b, &e)) {
            out->error = "unterminated quoted field";
            out->fields.clear();
            pos_ = first_line_end;
            line_ = out->line;
            return true;
          }
          field.push_back('\n');
          ++lines;
          i = b;
        } else if (q + 1 < e && text_[q + 1] == '"') {
          field.append(text_.substr(i, q + 1 - i));
          i = q + 2;
        } else {
          field.append(text_.substr(i, q - i));
          i = q + 1;
          break;
        }
      }
      out->fields.push_back(field);
      bool crlf_end = i + 1 == e && text_[i] == '\r' && e < text_.size();
      if (i == e || crlf_end) return true;
      if (text_[i] != ',') {
        out->error = "unexpected character after closing quote";
        out->fields.clear();
        return true;
      }
      ++i;
    } else {
      size_t c = text_.find(',', i);
      size_t stop = c == std::string_view::npos || c >= e ? e : c;
      std::string_view plain = text_.substr(i, stop - i);
      // The CR of a CRLF line end is not part of the last field.
      if (stop == e && !plain.empty() && plain.back() == '\r' && e < text_.size()) plain.remove_suffix(1);
      if (plain.find('"') != std::string_view::npos) {
        out->error = "quote inside unquoted field";
      } else if (plain.find('\r') != std::string_view::npos) {
        out->error = "carriage return outside quotes";
      }
      if (!out->error.empty()) {
        out->fields.clear();
        return true;
      }
      out->fields.emplace_back(plain);
      if (stop == e) return true;
      i = stop + 1;
    }
  }
}

const OpEvent* FindOp(std::string_view op) {
  for (const OpEvent& o : kOps)
    if (op == o.op) return &o;
  return nullptr;
}

const std::string& WorkloadRow::name() const {
  switch (op->name) {
    case NameColumn::kImage: return image;
    case NameColumn::kNewPath: return new_path;
    case NameColumn::kPath: break;
  }
  return path;
}

bool WorkloadRow::is_exec() const { return std::strcmp(op->op, "exec") == 0; }
bool WorkloadRow::is_exit() const { return std::strcmp(op->op, "exit") == 0; }

bool ParseRow(const CsvRecord& record, WorkloadRow* row, std::string* why) {
  const std::vector<std::string>& f = record.fields;
  if (!record.error.empty()) {
    *why = record.error;
    return false;
  }
  if (f.size() != kWorkloadColumns) {
    *why = "expected 8 fields, found " + std::to_string(f.size());
    return false;
  }
  uint64_t time_ms, pid, ppid;
  if (!ParseDecimal(f[0], UINT64_MAX, false, &time_ms)) {
    *why = "time_ms is not a whole number: " + Shown(f[0]);
    return false;
  }
  if (!ParseDecimal(f[2], UINT32_MAX, true, &pid)) {
    *why = "pid is not a 32-bit whole number: " + Shown(f[2]);
    return false;
  }
  if (!ParseDecimal(f[3], UINT32_MAX, true, &ppid)) {
    *why = "ppid is not a 32-bit whole number: " + Shown(f[3]);
    return false;
  }
  const OpEvent* op = FindOp(f[1]);
  if (op == nullptr) {
    *why = "unknown op " + Shown(f[1]);
    return false;
  }
  if (op->name == NameColumn::kNewPath && f[6].empty()) {
    *why = "rename without new_path";
    return false;
  }
  row->line = record.line;
  row->time_ms = time_ms;
  row->op = op;
  row->has_pid = !f[2].empty();
  row->has_ppid = !f[3].empty();
  row->pid = static_cast<uint32_t>(pid);
  row->ppid = static_cast<uint32_t>(ppid);
  row->image = f[4];
  row->path = f[5];
  row->new_path = f[6];
  // A longer name would reach the library cut, naming another file.
  for (const std::string* text : {&row->name(), static_cast<const std::string*>(&row->path)}) {
    if (Utf8ToUtf16Le(*text).size() > kNameFieldBytes) {
      *why = "a name longer than the message's 1024 bytes of UTF-16: " + Shown(*text);
      return false;
    }
  }
  return true;
}

}  // namespace acdc::sim
