#include "server/db/Procedures.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/rtl/FieldTypes.h"
#include "platform/rtl/Text.h"

namespace qorvin::server {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return AsciiUpper(a) == AsciiUpper(b);
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 128) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// Splits on CR, LF or CR LF.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  out.push_back(text.substr(start));
  return out;
}

// A literal default: 'text', N'text', [-]number, NULL.
Variant LiteralValue(const std::vector<Token>& t, size_t i, const std::string& where) {
  bool negative = false;
  if (i < t.size() && t[i].IsSymbol("-")) {
    negative = true;
    ++i;
  }
  if (i + 1 != t.size()) throw EDatabaseError(where + ": a default must be one literal");
  const Token& tok = t[i];
  if (tok.kind == TokenKind::String && !negative) return Variant::OleStr(Utf8ToUtf16(tok.value));
  if (tok.IsWord("NULL") && !negative) return Variant::Null();
  if (tok.kind == TokenKind::Number) {
    std::string text = (negative ? "-" : "") + tok.text;
    if (text.find_first_of(".eE") == std::string::npos) return Variant::Int64(std::stoll(text));
    return Variant::Double(std::stod(text));
  }
  throw EDatabaseError(where + ": a default must be a literal ('text', a number or NULL)");
}

ProcedureParam HeaderParam(std::string_view directive, const std::string& where) {
  std::vector<Token> t = Tokenize(directive);
  ProcedureParam p;
  if (t.size() < 2 || t[0].kind != TokenKind::Word ||
      (t[0].upper != "PARAM" && t[0].upper != "OUTPUT") || t[1].kind != TokenKind::Variable)
    throw EDatabaseError(where +
                         ": expected \"--! param @Name [= default]\" or "
                         "\"--! output @Name [= default]\"");
  p.output = t[0].upper == "OUTPUT";
  p.name = t[1].value;
  if (t.size() > 2) {
    if (!t[2].IsSymbol("=") || t.size() < 4) throw EDatabaseError(where + ": expected '='");
    p.hasDefault = true;
    p.defaultValue = LiteralValue(t, 3, where);
  }
  return p;
}

}  // namespace

int Procedure::ParamIndex(const std::string& n) const {
  for (size_t i = 0; i < params.size(); ++i)
    if (SameName(params[i].name, n)) return int(i);
  return -1;
}

std::shared_ptr<const Procedure> ParseProcedure(const std::string& name, std::string_view text,
                                                const std::string& origin) {
  auto proc = std::make_shared<Procedure>();
  proc->name = name;
  std::vector<std::string_view> lines = Lines(text);
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string_view line = lines[n];
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line.substr(start, 3) != "--!") continue;
    std::string where = origin + " line " + std::to_string(n + 1);
    ProcedureParam p = HeaderParam(line.substr(start + 3), where);
    if (proc->ParamIndex(p.name) >= 0)
      throw EDatabaseError(where + ": parameter @" + p.name + " is declared twice");
    proc->params.push_back(std::move(p));
    proc->declared = true;
  }
  try {
    proc->body = ParseScript(text);
  } catch (const EDatabaseError& e) {
    throw EDatabaseError(origin + ": " + e.Message());
  }
  return proc;
}

std::shared_ptr<const Procedure> ProcedureCatalog::Find(const std::string& fullName) const {
  namespace fs = std::filesystem;
  // "[dbo].[Name]", "dbo.Name": the last part names the procedure.
  std::string name =
      fullName.substr(fullName.rfind('.') == std::string::npos ? 0 : fullName.rfind('.') + 1);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  const std::string missing = "Could not find stored procedure '" + name + "'.";
  if (!ValidName(name) || folder_.empty()) throw EDatabaseError(missing);
  std::error_code ec;
  fs::path found;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    fs::path p = it->path();
    if (p.extension() == ".sql" && SameName(p.stem().string(), name) && it->is_regular_file(ec)) {
      found = p;
      break;
    }
  }
  if (found.empty()) throw EDatabaseError(missing);
  auto modified = fs::last_write_time(found, ec);
  uintmax_t size = ec ? 0 : fs::file_size(found, ec);
  if (ec) throw EDatabaseError(missing);
  if (size > kMaxScriptBytes)
    throw EDatabaseError(found.string() + ": the script is larger than " +
                         std::to_string(kMaxScriptBytes) + " bytes");
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cache_.find(found.string());
  if (it != cache_.end() && it->second.modified == modified && it->second.size == size)
    return it->second.procedure;
  std::ifstream in(found, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw EDatabaseError(found.string() + ": cannot be read");
  std::string body = text.str();
  if (body.size() > kMaxScriptBytes)
    throw EDatabaseError(found.string() + ": the script is larger than " +
                         std::to_string(kMaxScriptBytes) + " bytes");
  auto proc = ParseProcedure(found.stem().string(), body, found.filename().string());
  cache_[found.string()] = Entry{modified, size, proc};
  return proc;
}

std::vector<std::string> ProcedureCatalog::Names() const {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  if (folder_.empty()) return names;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".sql") names.push_back(it->path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qorvin::server
