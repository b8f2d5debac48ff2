#include "tests/ado/AdoXml.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace qorvin::test {

namespace {

class XmlParser {
 public:
  explicit XmlParser(std::string_view text) : s_(text) {}

  XmlElement Document() {
    SkipMisc();
    XmlElement root = Element();
    SkipMisc();
    if (i_ != s_.size()) Fail("content after the root element");
    return root;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("XML: " + what + " at offset " + std::to_string(i_));
  }
  bool StartsWith(std::string_view p) const { return s_.substr(i_, p.size()) == p; }
  void SkipSpace() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
      ++i_;
  }
  void SkipPast(std::string_view end) {
    const size_t at = s_.find(end, i_);
    if (at == s_.npos) Fail("unterminated markup");
    i_ = at + end.size();
  }
  // Text, comments and processing instructions between elements.
  void SkipMisc() {
    for (;;) {
      while (i_ < s_.size() && s_[i_] != '<') ++i_;
      if (StartsWith("<!--"))
        SkipPast("-->");
      else if (StartsWith("<?"))
        SkipPast("?>");
      else
        return;
    }
  }
  std::string Name() {
    const size_t start = i_;
    while (i_ < s_.size() && std::string_view(" \t\r\n/>=").find(s_[i_]) == std::string_view::npos)
      ++i_;
    if (i_ == start) Fail("name expected");
    return std::string(s_.substr(start, i_ - start));
  }
  static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  std::string Unescape(std::string_view raw) {
    std::string out;
    for (size_t k = 0; k < raw.size(); ++k) {
      if (raw[k] != '&') {
        out += raw[k];
        continue;
      }
      const size_t semi = raw.find(';', k);
      if (semi == raw.npos) Fail("unterminated entity");
      const std::string entity(raw.substr(k + 1, semi - k - 1));
      if (entity == "lt")
        out += '<';
      else if (entity == "gt")
        out += '>';
      else if (entity == "amp")
        out += '&';
      else if (entity == "apos")
        out += '\'';
      else if (entity == "quot")
        out += '"';
      else if (entity.size() > 2 && entity[0] == '#' && (entity[1] == 'x' || entity[1] == 'X'))
        AppendUtf8(out, uint32_t(std::strtoul(entity.c_str() + 2, nullptr, 16)));
      else if (entity.size() > 1 && entity[0] == '#')
        AppendUtf8(out, uint32_t(std::strtoul(entity.c_str() + 1, nullptr, 10)));
      else
        Fail("unknown entity &" + entity + ";");
      k = semi;
    }
    return out;
  }
  XmlElement Element() {
    if (!StartsWith("<")) Fail("'<' expected");
    ++i_;
    XmlElement e;
    e.name = Name();
    for (;;) {
      SkipSpace();
      if (StartsWith("/>")) {
        i_ += 2;
        return e;
      }
      if (StartsWith(">")) {
        ++i_;
        break;
      }
      std::string key = Name();
      SkipSpace();
      if (!StartsWith("=")) Fail("'=' expected");
      ++i_;
      SkipSpace();
      if (i_ >= s_.size() || (s_[i_] != '\'' && s_[i_] != '"')) Fail("quote expected");
      const char quote = s_[i_++];
      const size_t end = s_.find(quote, i_);
      if (end == s_.npos) Fail("unterminated attribute");
      e.attributes.emplace_back(std::move(key), Unescape(s_.substr(i_, end - i_)));
      i_ = end + 1;
    }
    for (;;) {
      SkipMisc();
      if (i_ >= s_.size()) Fail("unterminated element " + e.name);
      if (StartsWith("</")) {
        i_ += 2;
        if (Name() != e.name) Fail("mismatched end tag for " + e.name);
        SkipSpace();
        if (!StartsWith(">")) Fail("'>' expected");
        ++i_;
        return e;
      }
      e.children.push_back(Element());
    }
  }

  std::string_view s_;
  size_t i_ = 0;
};

const XmlElement* Child(const XmlElement& e, std::string_view name) {
  for (const XmlElement& c : e.children)
    if (c.name == name) return &c;
  return nullptr;
}

TwinColumn ParseColumn(const XmlElement& attributeType) {
  TwinColumn c;
  c.name = *attributeType.Attr("name");
  c.number = std::stoi(*attributeType.Attr("rs:number"));
  auto flag = [](const XmlElement& e, std::string_view key) {
    const std::string* v = e.Attr(key);
    return v != nullptr && *v == "true";
  };
  c.nullable = flag(attributeType, "rs:nullable");
  c.write = flag(attributeType, "rs:write");
  const XmlElement* dt = Child(attributeType, "s:datatype");
  if (dt == nullptr) throw std::runtime_error("column " + c.name + " without s:datatype");
  if (const std::string* v = dt->Attr("dt:type")) c.type = *v;
  if (const std::string* v = dt->Attr("rs:dbtype")) c.dbtype = *v;
  if (const std::string* v = dt->Attr("dt:maxLength")) c.maxLength = std::stoull(*v);
  if (const std::string* v = dt->Attr("rs:precision")) c.precision = std::stoi(*v);
  if (const std::string* v = dt->Attr("rs:scale")) c.scale = std::stoi(*v);
  c.fixed = flag(*dt, "rs:fixedlength");
  c.isLong = flag(*dt, "rs:long");
  c.maybeNull = flag(*dt, "rs:maybenull");
  return c;
}

TwinRow RowOf(const XmlElement& zrow, TwinState state) {
  TwinRow row;
  row.state = state;
  for (const auto& [key, value] : zrow.attributes) {
    if (key == "rs:forcenull") {
      std::istringstream names(value);
      for (std::string name; names >> name;) row.forceNull.insert(name);
    } else {
      row.values[key] = value;
    }
  }
  return row;
}

}  // namespace

const std::string* XmlElement::Attr(std::string_view key) const {
  for (const auto& [k, v] : attributes)
    if (k == key) return &v;
  return nullptr;
}

XmlElement ParseXml(std::string_view text) {
  return XmlParser(text).Document();
}

Twin ParseTwin(std::string_view xmlText) {
  const XmlElement root = ParseXml(xmlText);
  Twin twin;
  const XmlElement* schema = Child(root, "s:Schema");
  const XmlElement* rowType = schema ? Child(*schema, "s:ElementType") : nullptr;
  if (rowType == nullptr) throw std::runtime_error("no s:Schema/s:ElementType");
  for (const XmlElement& c : rowType->children)
    if (c.name == "s:AttributeType") twin.columns.push_back(ParseColumn(c));
  const XmlElement* data = Child(root, "rs:data");
  if (data == nullptr) throw std::runtime_error("no rs:data");
  for (const XmlElement& e : data->children) {
    if (e.name == "z:row") {
      twin.rows.push_back(RowOf(e, TwinState::Unchanged));
    } else if (e.name == "rs:update") {
      std::map<std::string, std::string> original;
      for (const XmlElement& u : e.children) {
        if (u.name == "rs:original") {
          const XmlElement* z = Child(u, "z:row");
          if (z == nullptr) throw std::runtime_error("rs:original without z:row");
          original = RowOf(*z, TwinState::Unchanged).values;
        } else if (u.name == "z:row") {
          TwinRow row = RowOf(u, TwinState::Modified);
          row.original = original;
          twin.rows.push_back(std::move(row));
        }
      }
    } else if (e.name == "rs:insert" || e.name == "rs:delete") {
      const TwinState state = e.name == "rs:insert" ? TwinState::Inserted : TwinState::Deleted;
      for (const XmlElement& z : e.children)
        if (z.name == "z:row") twin.rows.push_back(RowOf(z, state));
    }
  }
  return twin;
}

}  // namespace qorvin::test
