// What the command-line tests share: running the built qorvin program, a scripted server whose
// reply the test sets, and dataset blobs made and read on the server side with the library's
// own record set (the program under test sees only the public header).
#pragma once

#include <cctype>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Text.h"
#include "tests/cli/Subprocess.h"
#include "tests/client/ClientWire.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin::testing {

// Runs qorvin with `args` in a UTF-8 locale (unless the test's environment says otherwise).
inline ProgramRun Qorvin(std::vector<std::string> args, ProgramOptions options = {}) {
  args.insert(args.begin(), QORVIN_CLI_PROGRAM);
  options.env.insert(options.env.begin(), "LC_ALL=C.UTF-8");
  return RunProgram(args, options);
}

// A scripted server answering every request with the reply the test set last, or through the
// test's responder.
class CliServer {
 public:
  CliServer()
      : server_(std::make_unique<ScriptedServer>([this](const std::string& request) {
          std::lock_guard<std::mutex> lock(mutex_);
          return responder_ ? responder_(request) : reply_;
        })) {}

  void Answer(std::string reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
  }
  void Respond(std::function<std::string(const std::string&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
  }
  // "--connect" and its value for a letter.
  std::vector<std::string> Connect(char letter = 'T') const {
    return {"--connect", std::string(1, char(std::tolower(letter))) +
                             "://127.0.0.1:" + std::to_string(server_->Port(letter))};
  }
  ScriptedServer& Server() { return *server_; }
  std::vector<std::string> Requests() const { return server_->Requests(); }

 private:
  std::mutex mutex_;
  std::string reply_;
  std::function<std::string(const std::string&)> responder_;
  std::unique_ptr<ScriptedServer> server_;
};

// `first` followed by `rest`.
inline std::vector<std::string> Args(std::vector<std::string> first,
                                     const std::vector<std::string>& rest) {
  first.insert(first.end(), rest.begin(), rest.end());
  return first;
}

struct BlobField {
  std::u16string name;
  TFieldType type;
  uint32_t size = 0;
};

// A dataset blob with the given fields and rows (Variant::Null() for NULL).
inline std::string MakeTableBlob(const std::vector<BlobField>& fields,
                                 const std::vector<std::vector<Variant>>& rows) {
  TAdoDataSet ds;
  for (const BlobField& f : fields) ds.MutableFieldDefs().Add(f.name, f.type, f.size);
  ds.Open();
  for (const auto& row : rows) {
    ds.Append();
    for (size_t i = 0; i < row.size(); ++i) ds.SetFieldValue(int(i), row[i]);
    ds.Post();
  }
  TMemoryStream out;
  AdoDataSetToStream(&ds, &out, true, kPersistADTG, 1);
  return std::string(out.View());
}

// An uploaded blob as the server reads it: field names, types and sizes, and each value as
// UTF-8 text ("NULL" for NULL).
struct SeenTable {
  std::vector<std::string> names;
  std::vector<int> types;
  std::vector<uint32_t> sizes;
  std::vector<std::vector<std::string>> rows;
};

inline SeenTable DecodeBlob(const std::string& blob) {
  TMemoryStream stream;
  stream.Write(blob.data(), int64_t(blob.size()));
  stream.SetPosition(0);
  TAdoDataSet ds;
  SeenTable seen;
  if (!StreamToAdoDataSet(&ds, &stream, true) || !ds.Active()) return seen;
  for (int i = 0; i < ds.FieldCount(); ++i) {
    seen.names.push_back(Utf16ToUtf8(ds.FieldDefs()[i].name));
    seen.types.push_back(int(ds.FieldDefs()[i].dataType));
    seen.sizes.push_back(ds.FieldDefs()[i].Size());
  }
  int guard = 0;
  for (ds.First(); !ds.Eof() && guard < 100000; ds.Next(), ++guard) {
    std::vector<std::string> row;
    for (int i = 0; i < ds.FieldCount(); ++i) {
      const Variant v = ds.FieldValue(i);
      row.push_back(v.IsNull() || v.IsEmpty() ? "NULL" : v.ToUtf8());
    }
    seen.rows.push_back(std::move(row));
  }
  return seen;
}

}  // namespace qorvin::testing
