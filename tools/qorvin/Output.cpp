#include "tools/qorvin/Output.h"

#include <cstdio>

#include "tools/qorvin/CodeSet.h"
#include "tools/qorvin/Csv.h"
#include "tools/qorvin/FieldTypes.h"
#include "tools/qorvin/Json.h"

namespace qorvin::cli {

namespace {

void AppendEscape(std::string& out, unsigned value, bool unicode) {
  char buf[12];
  std::snprintf(buf, sizeof buf, unicode ? "\\u%04X" : "\\x%02X", value);
  out += buf;
}

std::string Padding(size_t n) {
  return std::string(n, ' ');
}

// The aligned grid of one table.
void AppendGrid(std::string& out, const Table& t) {
  const size_t n = t.columns.size();
  if (n == 0) {
    out += "(no columns)\n";
    return;
  }
  std::vector<std::string> header(n);
  std::vector<size_t> width(n);
  std::vector<bool> right(n);
  for (size_t c = 0; c < n; ++c) {
    header[c] = VisibleText(t.columns[c].name);
    width[c] = DisplayWidth(header[c]);
    right[c] = IsNumericType(t.columns[c].type);
  }
  std::vector<std::vector<std::string>> cells;
  std::vector<std::vector<size_t>> widths;
  for (const auto& row : t.rows) {
    std::vector<std::string> line(n);
    std::vector<size_t> w(n);
    for (size_t c = 0; c < n; ++c) {
      line[c] = row[c] ? VisibleText(*row[c]) : std::string();
      w[c] = DisplayWidth(line[c]);
      if (w[c] > width[c]) width[c] = w[c];
    }
    cells.push_back(std::move(line));
    widths.push_back(std::move(w));
  }
  const auto appendLine = [&](const std::vector<std::string>& line, const std::vector<size_t>& w) {
    std::string text;
    for (size_t c = 0; c < n; ++c) {
      text += c == 0 ? " " : " | ";
      const size_t pad = width[c] - w[c];
      if (right[c]) {
        text += Padding(pad) + line[c];
      } else {
        text += line[c];
        if (c + 1 < n) text += Padding(pad);
      }
    }
    // An empty last cell leaves only padding at the end of the line; drop it.
    if (line[n - 1].empty()) text.erase(text.find_last_not_of(' ') + 1);
    out += text + "\n";
  };
  std::vector<size_t> headerWidths(n);
  for (size_t c = 0; c < n; ++c) headerWidths[c] = DisplayWidth(header[c]);
  appendLine(header, headerWidths);
  for (size_t c = 0; c < n; ++c) out += std::string(width[c] + 2, '-') + (c + 1 < n ? "+" : "");
  out += "\n";
  for (size_t r = 0; r < cells.size(); ++r) appendLine(cells[r], widths[r]);
  out += "(" + std::to_string(t.rows.size()) + (t.rows.size() == 1 ? " row)\n" : " rows)\n");
}

void AppendJsonValue(std::string& out, const Cell& cell, int32_t type) {
  if (!cell) {
    out += "null";
  } else if (IsNumericType(type) && IsJsonNumber(*cell)) {
    out += *cell;
  } else if (IsBooleanType(type) && (*cell == "True" || *cell == "False")) {
    out += *cell == "True" ? "true" : "false";
  } else {
    AppendJsonString(out, TerminalToUtf8Lenient(*cell));
  }
}

void AppendJsonTable(std::string& out, const std::optional<Table>& t, const std::string& suffix) {
  out += ",\"fields" + suffix + "\":[";
  if (t) {
    for (size_t c = 0; c < t->columns.size(); ++c) {
      if (c > 0) out += ',';
      AppendJsonString(out, TerminalToUtf8Lenient(t->columns[c].name));
    }
  }
  out += "],\"rows" + suffix + "\":[";
  if (t) {
    for (size_t r = 0; r < t->rows.size(); ++r) {
      out += r > 0 ? ",[" : "[";
      for (size_t c = 0; c < t->columns.size(); ++c) {
        if (c > 0) out += ',';
        AppendJsonValue(out, t->rows[r][c], t->columns[c].type);
      }
      out += ']';
    }
  }
  out += ']';
}

std::string ScalarLine(const Outcome& o) {
  std::string line;
  for (const Scalar& s : o.scalars) {
    if (!line.empty()) line += ", ";
    line += s.label + ": " + VisibleText(s.text);
  }
  return line + "\n";
}

}  // namespace

std::string VisibleText(const std::string& text, bool keepLineBreaks) {
  const bool utf8 = TerminalIsUtf8();
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (keepLineBreaks && (byte == '\n' || text.compare(pos, 2, "\r\n") == 0)) {
      out += '\n';
      pos += byte == '\n' ? 1 : 2;
    } else if (byte < 0x20 || byte == 0x7F) {
      ++pos;
      if (byte == '\n') {
        out += "\\n";
      } else if (byte == '\t') {
        out += "\\t";
      } else if (byte == '\r') {
        out += "\\r";
      } else {
        AppendEscape(out, byte, false);
      }
    } else if (utf8 && byte >= 0x80) {
      const size_t at = pos;
      const char32_t cp = NextCodePoint(text, &pos);
      if (cp >= 0x80 && cp <= 0x9F) {
        AppendEscape(out, unsigned(cp), true);  // C1 controls act on terminals too
      } else {
        out.append(text, at, pos - at);
      }
    } else {
      out += char(byte);
      ++pos;
    }
  }
  return out;
}

Rendered RenderTable(const Outcome& o) {
  Rendered r;
  for (const DataResult& d : o.data) {
    if (o.data.size() > 1) r.out += d.title + ":\n";
    if (d.table) {
      AppendGrid(r.out, *d.table);
    } else {
      r.out += "(no data)\n";
    }
  }
  for (const Scalar& s : o.scalars) r.out += s.label + ": " + VisibleText(s.text) + "\n";
  return r;
}

Rendered RenderCsv(const Outcome& o) {
  Rendered r;
  if (!o.returnsData) {
    std::vector<Cell> keys, values;
    for (const Scalar& s : o.scalars) {
      keys.emplace_back(s.key);
      values.emplace_back(s.text);
    }
    AppendCsvRecord(r.out, keys);
    AppendCsvRecord(r.out, values);
    return r;
  }
  bool first = true;
  for (const DataResult& d : o.data) {
    if (!first) r.out += "\r\n";
    first = false;
    if (!d.table) continue;
    std::vector<Cell> header;
    for (const Column& c : d.table->columns) header.emplace_back(c.name);
    AppendCsvRecord(r.out, header);
    for (const auto& row : d.table->rows) AppendCsvRecord(r.out, row);
  }
  r.note = ScalarLine(o);
  return r;
}

Rendered RenderJson(const Outcome& o) {
  Rendered r;
  std::string& out = r.out;
  out += '{';
  bool first = true;
  for (const Scalar& s : o.scalars) {
    if (!first) out += ',';
    first = false;
    AppendJsonString(out, s.key);
    out += ':';
    if ((s.kind == Scalar::Kind::Number && IsJsonNumber(s.text)) ||
        (s.kind == Scalar::Kind::Boolean && (s.text == "true" || s.text == "false"))) {
      out += s.text;
    } else {
      AppendJsonString(out, TerminalToUtf8Lenient(s.text));
    }
  }
  if (o.returnsData) {
    for (size_t i = 0; i < o.data.size(); ++i)
      AppendJsonTable(out, o.data[i].table, i == 0 ? "" : std::to_string(i + 1));
  }
  if (o.failed) {
    out += ",\"error\":";
    AppendJsonString(out, TerminalToUtf8Lenient(o.error));
  }
  out += "}\n";
  return r;
}

}  // namespace qorvin::cli
