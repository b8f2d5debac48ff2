#include "tools/qorvin/Output.h"

#include <algorithm>
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

// The aligned grid of one set of rows, in two passes over them: the first finds each column's
// width, the second writes the lines.
void AppendGrid(OutputSink& out, RowSource& rows, const RenderOptions& options) {
  const std::vector<Column>& columns = rows.Columns();
  const size_t n = columns.size();
  if (n == 0) {
    out.text += "(no columns)\n";
    return;
  }
  std::vector<std::string> header(n), line(n);
  std::vector<size_t> width(n), headerWidths(n), w(n);
  std::vector<bool> right(n);
  for (size_t c = 0; c < n; ++c) {
    header[c] = VisibleText(columns[c].name);
    width[c] = headerWidths[c] = DisplayWidth(header[c]);
    right[c] = IsNumericType(columns[c].type);
  }
  std::vector<Cell> cells;
  const auto visible = [&] {
    for (size_t c = 0; c < n; ++c) {
      line[c] = cells[c] ? VisibleText(*cells[c]) : VisibleText(options.nullText);
      w[c] = DisplayWidth(line[c]);
    }
  };
  size_t count = 0;
  rows.Rewind();
  while (rows.Next(cells)) {
    visible();
    for (size_t c = 0; c < n; ++c) width[c] = std::max(width[c], w[c]);
    ++count;
  }
  const auto appendLine = [&](const std::vector<std::string>& text,
                              const std::vector<size_t>& widths) {
    const size_t start = out.text.size();
    for (size_t c = 0; c < n; ++c) {
      out.text += c == 0 ? " " : " | ";
      const size_t pad = width[c] - widths[c];
      if (right[c]) {
        out.text.append(pad, ' ');
        out.text += text[c];
      } else {
        out.text += text[c];
        if (c + 1 < n) out.text.append(pad, ' ');
      }
    }
    // An empty last cell leaves only padding at the end of the line; drop it.
    if (text[n - 1].empty()) {
      const size_t last = out.text.find_last_not_of(' ');
      out.text.resize(last == std::string::npos || last < start ? start : last + 1);
    }
    out.text += "\n";
    out.Spill();
  };
  if (!options.tuplesOnly) {
    appendLine(header, headerWidths);
    for (size_t c = 0; c < n; ++c)
      out.text += std::string(width[c] + 2, '-') + (c + 1 < n ? "+" : "");
    out.text += "\n";
  }
  rows.Rewind();
  for (size_t r = 0; r < count && rows.Next(cells); ++r) {
    visible();
    appendLine(line, w);
  }
  if (!options.tuplesOnly)
    out.text += "(" + std::to_string(count) + (count == 1 ? " row)\n" : " rows)\n");
}

// The rows as records, in two passes: the first finds the widest name and value, the second
// writes them.
//
//   -[ RECORD 1 ]--------
//   Id   | 1
//   Name | Ada Lovelace
void AppendRecords(OutputSink& out, RowSource& rows, const RenderOptions& options) {
  const std::vector<Column>& columns = rows.Columns();
  const size_t n = columns.size();
  if (n == 0) {
    out.text += "(no columns)\n";
    return;
  }
  std::vector<std::string> names(n);
  std::vector<size_t> nameWidths(n);
  size_t nameWidth = 0, valueWidth = 0, count = 0;
  for (size_t c = 0; c < n; ++c) {
    names[c] = VisibleText(columns[c].name);
    nameWidths[c] = DisplayWidth(names[c]);
    nameWidth = std::max(nameWidth, nameWidths[c]);
  }
  std::vector<Cell> cells;
  const auto value = [&](size_t c) {
    return cells[c] ? VisibleText(*cells[c]) : VisibleText(options.nullText);
  };
  rows.Rewind();
  while (rows.Next(cells)) {
    for (size_t c = 0; c < n; ++c) valueWidth = std::max(valueWidth, DisplayWidth(value(c)));
    ++count;
  }
  rows.Rewind();
  for (size_t r = 0; r < count && rows.Next(cells); ++r) {
    if (options.tuplesOnly) {
      if (r > 0) out.text += "\n";
    } else {
      const std::string label = "-[ RECORD " + std::to_string(r + 1) + " ]";
      out.text += label;
      if (label.size() < nameWidth + 1) {
        out.text +=
            std::string(nameWidth + 1 - label.size(), '-') + "+" + std::string(valueWidth + 1, '-');
      } else {
        out.text += std::string(label.size() < nameWidth + valueWidth + 3
                                    ? nameWidth + valueWidth + 3 - label.size()
                                    : 1,
                                '-');
      }
      out.text += "\n";
    }
    for (size_t c = 0; c < n; ++c) {
      const std::string v = value(c);
      out.text +=
          names[c] + std::string(nameWidth - nameWidths[c], ' ') + (v.empty() ? " |" : " | ");
      out.text += v + "\n";
    }
    out.Spill();
  }
  if (!options.tuplesOnly)
    out.text += "(" + std::to_string(count) + (count == 1 ? " row)\n" : " rows)\n");
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

void AppendJsonTable(OutputSink& out, RowSource* rows, const std::string& suffix) {
  out.text += ",\"fields" + suffix + "\":[";
  if (rows) {
    for (size_t c = 0; c < rows->Columns().size(); ++c) {
      if (c > 0) out.text += ',';
      AppendJsonString(out.text, TerminalToUtf8Lenient(rows->Columns()[c].name));
    }
  }
  out.text += "],\"rows" + suffix + "\":[";
  if (rows) {
    const std::vector<Column>& columns = rows->Columns();
    std::vector<Cell> cells;
    bool first = true;
    rows->Rewind();
    while (rows->Next(cells)) {
      out.text += first ? "[" : ",[";
      first = false;
      for (size_t c = 0; c < columns.size(); ++c) {
        if (c > 0) out.text += ',';
        AppendJsonValue(out.text, cells[c], columns[c].type);
      }
      out.text += ']';
      out.Spill();
    }
  }
  out.text += ']';
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

namespace {

void RenderTable(const Outcome& o, OutputSink& out, const RenderOptions& options) {
  for (const DataResult& d : o.data) {
    if (o.data.size() > 1 && !options.tuplesOnly) out.text += d.title + ":\n";
    if (d.rows && options.expanded) {
      AppendRecords(out, *d.rows, options);
    } else if (d.rows) {
      AppendGrid(out, *d.rows, options);
    } else if (!options.tuplesOnly) {
      out.text += "(no data)\n";
    }
  }
  if (options.tuplesOnly && o.returnsData) return;
  for (const Scalar& s : o.scalars) out.text += s.label + ": " + VisibleText(s.text) + "\n";
}

// NULL cells as the marker asked for (a plain empty field when none, as CSV has no NULL).
std::vector<Cell> WithNulls(std::vector<Cell> cells, const RenderOptions& options) {
  if (options.nullText.empty()) return cells;
  for (Cell& c : cells)
    if (!c) c = options.nullText;
  return cells;
}

void RenderCsv(const Outcome& o, OutputSink& out, std::string& note, const RenderOptions& options) {
  if (!o.returnsData) {
    std::vector<Cell> keys, values;
    for (const Scalar& s : o.scalars) {
      keys.emplace_back(s.key);
      values.emplace_back(s.text);
    }
    AppendCsvRecord(out.text, keys, options.delimiter);
    AppendCsvRecord(out.text, values, options.delimiter);
    return;
  }
  bool first = true;
  for (const DataResult& d : o.data) {
    if (!first) out.text += "\r\n";
    first = false;
    if (!d.rows) continue;
    std::vector<Cell> cells;
    for (const Column& c : d.rows->Columns()) cells.emplace_back(c.name);
    if (!options.tuplesOnly) AppendCsvRecord(out.text, cells, options.delimiter);
    d.rows->Rewind();
    while (d.rows->Next(cells)) {
      AppendCsvRecord(out.text, options.nullText.empty() ? cells : WithNulls(cells, options),
                      options.delimiter);
      out.Spill();
    }
  }
  note = ScalarLine(o);
}

void RenderJson(const Outcome& o, OutputSink& sink) {
  std::string& out = sink.text;
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
      AppendJsonTable(sink, o.data[i].rows.get(), i == 0 ? "" : std::to_string(i + 1));
  }
  if (o.failed) {
    out += ",\"error\":";
    AppendJsonString(out, TerminalToUtf8Lenient(o.error));
  }
  out += "}\n";
}

}  // namespace

void Render(OutputFormat format, const Outcome& outcome, OutputSink& out, std::string& note,
            const RenderOptions& options) {
  if (outcome.failed && format != OutputFormat::Json && outcome.command != "datetime") return;
  switch (format) {
    case OutputFormat::Csv:
      return RenderCsv(outcome, out, note, options);
    case OutputFormat::Json:
      return RenderJson(outcome, out);
    default:
      return RenderTable(outcome, out, options);
  }
}

}  // namespace qorvin::cli
