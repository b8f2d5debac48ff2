// The compiled part of the qorvin package: loads libQorvinClient.so with dlopen() through the
// public header as any host does (nothing of the layers is linked), makes one module per
// connection, runs its calls without the GIL and decodes the rows of a read's data packet.
// The DB-API itself (URLs, parameters, cursors, exceptions) is the Python code of the package.
#include <dlfcn.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "ColumnDecoder.h"
#include "PacketDecoder.h"
#include "qorvin/QorvinClient.h"
#include "qorvin/QorvinProgress.h"
#include "qorvin/QorvinServers.h"

namespace py = pybind11;

namespace qorvin::python {
namespace {

// The library's text slots and packets, freed on every path.
struct Text {
  QorvinText t{};
  ~Text() { qorvin_text_free(&t); }
  std::string str() const { return t.data ? std::string(t.data, size_t(t.length)) : ""; }
};
struct Packet {
  QorvinDataPacket p{};
  ~Packet() { qorvin_packet_free(&p); }
};

// The record set a call brought: its data packet as the library handed it out, with the layout
// read (ValueError when that is malformed); the rows are decoded when they are asked for, as
// tuples or as columns (ColumnDecoder.h), so a DataFrame never holds a tuple per row.
class Result {
 public:
  explicit Result(std::unique_ptr<Packet> packet)
      : packet_(std::move(packet)), layout_(ReadLayout(Bytes(), Size())) {}

  // (name, type code, size, precision, attributes, column type) per field.
  py::list Fields() const {
    py::list fields;
    for (const PacketField& f : layout_.fields)
      fields.append(
          py::make_tuple(py::str(f.name), f.type, f.size, f.precision, f.attributes, f.columnType));
    return fields;
  }
  uint32_t RowCount() const { return layout_.rowCount; }
  py::list Rows() const { return DecodeRows(Bytes(), Size(), layout_); }
  py::list Columns(bool decimalsAsFloat) const {
    return DecodeColumns(Bytes(), Size(), layout_, decimalsAsFloat);
  }

  // The result of a call's packet: None when the call brought no record set.
  static py::object Of(std::unique_ptr<Packet> packet) {
    if (packet->p.kind != kQorvinPacketBytes || packet->p.bytes == nullptr || packet->p.size < 0)
      return py::none();
    return py::cast(Result(std::move(packet)));
  }

 private:
  const uint8_t* Bytes() const { return packet_->p.bytes; }
  size_t Size() const { return size_t(packet_->p.size); }

  std::unique_ptr<Packet> packet_;
  PacketLayout layout_;
};

// A loaded library stays loaded until the process ends: its modules live that long.
QorvinCreateRemoteDataModuleFn LoadLibrary(const std::string& path) {
  static std::mutex lock;
  static std::map<std::string, QorvinCreateRemoteDataModuleFn> loaded;
  std::lock_guard<std::mutex> guard(lock);
  auto it = loaded.find(path);
  if (it != loaded.end()) return it->second;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    throw std::runtime_error("cannot load " + path + ": " + (why ? why : "unknown reason"));
  }
  auto create =
      reinterpret_cast<QorvinCreateRemoteDataModuleFn>(dlsym(handle, "CreateRemoteDataModule"));
  if (create == nullptr) throw std::runtime_error(path + " has no CreateRemoteDataModule");
  loaded.emplace(path, create);
  return create;
}

constexpr IRemoteDataModule::Guid kFactoryIid = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

// One module of the library: one connection of the DB-API. Calls return the library's error
// text ("" on success) and leave the mapping to exceptions to the Python code.
class Session {
 public:
  Session(const std::string& library, const std::string& letter, const std::string& host,
          int32_t port) {
    if (letter.size() != 1) throw py::value_error("the connection type is one letter");
    QorvinCreateRemoteDataModuleFn create = LoadLibrary(library);
    Text failure;
    module_ = create(0, letter[0], host.c_str(), port, &failure.t);
    if (module_ == nullptr) throw py::value_error(failure.str());
    void* object = nullptr;
    if (module_->QueryInterface(&kFactoryIid, &object) != 0 || object == nullptr)
      throw std::runtime_error("the client library offers no record-set factory");
    // Version 2 carries each column's type, which the cursor's description reports.
    factory_ = static_cast<IQorvinDataSetFactory*>(object);
    factory_->SetDataPacketVersion(2);
    object = nullptr;
    if (module_->QueryInterface(&kQorvinIID_IQorvinProgress, &object) == 0)
      progress_ = static_cast<IQorvinProgress*>(object);
  }

  // SynchReadData: (error text, Result); the Result is None when the batch brought no record
  // set.
  py::tuple Read(const std::string& user, const std::string& serial, const std::string& sql) {
    auto data = std::make_unique<Packet>();
    int32_t result = 0;
    Text error;
    {
      py::gil_scoped_release unlocked;
      module_->SynchReadData(user.c_str(), serial.c_str(), sql.c_str(), &data->p, &result,
                             &error.t);
    }
    if (!error.str().empty() || result == 0)
      return py::make_tuple(error.str().empty() ? "the call failed" : error.str(), py::none());
    return py::make_tuple("", Result::Of(std::move(data)));
  }

  // ExecProcInsertTable: the rows (texts in the record set's forms, None for NULL) as a record
  // set of fields (name, field type, size) go through the procedure in one call. Returns (error
  // text, result, success count, Result or None); the Result's rows are one per uploaded row
  // (RowNo, ReturnValue, ErrorText). A value the record set refuses raises ValueError with its
  // reason, and nothing is sent.
  py::tuple Upload(const std::string& user, const std::string& serial, const std::string& proc,
                   const std::vector<std::tuple<std::string, int32_t, int32_t>>& fields,
                   const std::vector<std::vector<std::optional<std::string>>>& rows,
                   int32_t successValue) {
    QorvinAdoDataSet* ds = factory_->CreateAdoDataSet();
    if (ds == nullptr) throw std::runtime_error("the library made no record set");
    struct Owned {
      QorvinAdoDataSet* ds;
      ~Owned() { ds->Release(); }
    } owned{ds};
    auto refuse = [&](const std::string& what) {
      throw py::value_error(what + ": " + LastError());
    };
    for (const auto& [name, type, size] : fields)
      if (!ds->AddField(name.c_str(), type, size)) refuse("the column " + name);
    if (!ds->Open()) refuse("the upload's record set");
    for (size_t r = 0; r < rows.size(); ++r) {
      if (rows[r].size() != fields.size())
        throw py::value_error("row " + std::to_string(r + 1) + " has another number of values");
      if (!ds->Append()) refuse("row " + std::to_string(r + 1));
      for (size_t i = 0; i < rows[r].size(); ++i) {
        const bool ok = rows[r][i] ? ds->SetValueText(int32_t(i), rows[r][i]->c_str())
                                   : ds->SetNull(int32_t(i));
        if (!ok) refuse("row " + std::to_string(r + 1) + ", column " + std::get<0>(fields[i]));
      }
      if (!ds->Post()) refuse("row " + std::to_string(r + 1));
    }
    Packet in;
    auto out = std::make_unique<Packet>();
    if (!factory_->AdoDataSetToPacket(ds, &in.p)) refuse("the upload's data packet");
    int32_t successCount = 0, result = 0;
    Text error;
    {
      py::gil_scoped_release unlocked;
      module_->ExecProcInsertTable(user.c_str(), serial.c_str(), &in.p, proc.c_str(), &out->p,
                                   &successCount, successValue, &result, &error.t);
    }
    if (!error.str().empty() || result != 1)
      return py::make_tuple(error.str().empty() ? "the call failed" : error.str(), result,
                            successCount, py::none());
    return py::make_tuple("", result, successCount, Result::Of(std::move(out)));
  }

  // SynchExecProcOutput: (error text, result, first output parameter as text).
  py::tuple ExecProc(const std::string& user, const std::string& serial, const std::string& sql) {
    int32_t result = 0;
    Text error, output;
    {
      py::gil_scoped_release unlocked;
      module_->SynchExecProcOutput(user.c_str(), serial.c_str(), sql.c_str(), &output.t, &result,
                                   &error.t);
    }
    return py::make_tuple(error.str(), result, output.str());
  }

  // SynchExecSQL: (error text, result).
  py::tuple Exec(const std::string& user, const std::string& serial, const std::string& sql) {
    int32_t result = 0;
    Text error;
    {
      py::gil_scoped_release unlocked;
      module_->SynchExecSQL(user.c_str(), serial.c_str(), sql.c_str(), &result, &error.t);
    }
    return py::make_tuple(error.str(), result);
  }

  // Adds a server to the module's list (the first is the module's own) and turns fail-over on:
  // a call that cannot reach its server goes to the next one. ValueError with the library's
  // reason for a server it refuses.
  void AddServer(const std::string& host, int32_t port) {
    IQorvinServers* servers = Servers();
    Text error;
    if (!servers->AddServer(host.c_str(), port, nullptr, &error.t))
      throw py::value_error(error.str());
    servers->SetMode(kQorvinServersFailOver);
  }

  // The list's load balancing and probing (QorvinServers.h): mode 0 single, 1 fail-over, 3 load
  // balancing; a failed server is tried again after `retryMs` (0: only probing brings it back;
  // below 0 leaves the default); probing every `probeMs` (0: off); `repeatAfterSent` lets a call
  // that may have reached a failed server go to the next one. ValueError for a mode the library
  // does not take.
  void Configure(int32_t mode, int32_t retryMs, int32_t probeMs, bool repeatAfterSent) {
    IQorvinServers* servers = Servers();
    if (!servers->SetMode(mode))
      throw py::value_error("the library takes no server mode " + std::to_string(mode));
    if (retryMs >= 0) servers->SetRetryDisabledAfter(retryMs);
    servers->SetRepeatAfterSent(repeatAfterSent);
    if (probeMs > 0) servers->SetProbing(true, probeMs);
  }

  // [(address, enabled)] of the list, the module's own server first.
  py::list ServerList() {
    IQorvinServers* servers = Servers();
    py::list out;
    for (int32_t i = 0; i < servers->ServerCount(); ++i) {
      Text address;
      bool enabled = false;
      if (servers->GetServer(i, &address.t, &enabled))
        out.append(py::make_tuple(address.str(), enabled));
    }
    return out;
  }

  // Probes server `index` once, now, without the GIL: "" when it answered as a live server
  // does, else the reason. Changes nothing in the list.
  std::string Probe(int32_t index, int32_t timeoutMs) {
    IQorvinServers* servers = Servers();
    Text error;
    bool ok = false;
    {
      py::gil_scoped_release unlocked;
      ok = servers->ProbeServer(index, timeoutMs, &error.t);
    }
    return ok ? "" : (error.str().empty() ? "the probe failed" : error.str());
  }

  // The address of the server that answered the last successful call; "" before the first.
  std::string LastServer() {
    Text address;
    Servers()->GetLastServer(&address.t);
    return address.str();
  }

  // Ends the call in flight from any thread; false when none was running.
  bool Cancel() {
    if (progress_ == nullptr) return false;
    py::gil_scoped_release unlocked;
    return progress_->Cancel();
  }

  // The progress figures of the call in flight or the last one: (bytes sent, send total, bytes
  // received, receive total, in flight, cancelled); zeros without the progress extension.
  py::tuple Progress() {
    QorvinTransferProgress now{};
    if (progress_ != nullptr) progress_->GetProgress(&now);
    return py::make_tuple(now.bytesSent, now.sendTotal, now.bytesReceived, now.receiveTotal,
                          now.inFlight != 0, now.cancelled != 0);
  }

  std::string LastError() {
    Text text;
    module_->GetLastErrorText(&text.t);
    return text.str();
  }

 private:
  IQorvinServers* Servers() {
    void* object = nullptr;
    if (module_->QueryInterface(&kQorvinIID_IQorvinServers, &object) != 0 || object == nullptr)
      throw std::runtime_error("the client library offers no server list");
    return static_cast<IQorvinServers*>(object);
  }

  IRemoteDataModule* module_ = nullptr;       // lives until the process ends
  IQorvinDataSetFactory* factory_ = nullptr;  // belongs to the module
  IQorvinProgress* progress_ = nullptr;       // belongs to the module
};

}  // namespace
}  // namespace qorvin::python

PYBIND11_MODULE(_qorvin, m) {
  using qorvin::python::Result;
  using qorvin::python::Session;
  m.doc() = "The client library's modules, loaded with dlopen; see the qorvin package.";
  py::class_<Result>(m, "Result")
      .def("fields", &Result::Fields)
      .def_property_readonly("row_count", &Result::RowCount)
      .def("rows", &Result::Rows)
      .def("columns", &Result::Columns, py::arg("decimals_as_float"));
  py::class_<Session>(m, "Session")
      .def(py::init<const std::string&, const std::string&, const std::string&, int32_t>(),
           py::arg("library"), py::arg("letter"), py::arg("host"), py::arg("port"))
      .def("read", &Session::Read)
      .def("exec", &Session::Exec)
      .def("add_server", &Session::AddServer)
      .def("last_server", &Session::LastServer)
      .def("configure", &Session::Configure)
      .def("servers", &Session::ServerList)
      .def("probe", &Session::Probe)
      .def("exec_proc", &Session::ExecProc)
      .def("upload", &Session::Upload)
      .def("cancel", &Session::Cancel)
      .def("progress", &Session::Progress)
      .def("last_error", &Session::LastError);
  m.def(
      "decode_packet",
      [](py::bytes packet) {
        char* p = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(packet.ptr(), &p, &n) != 0) throw py::error_already_set();
        auto d = qorvin::python::DecodePacket(reinterpret_cast<const uint8_t*>(p), size_t(n));
        py::list fields;
        for (const auto& f : d.fields) fields.append(py::make_tuple(py::str(f.name), f.type));
        return py::make_tuple(fields, d.rows);
      },
      "Decodes a data packet's bytes into ([(name, type)], rows); ValueError when malformed.");
  m.def(
      "packet_result",
      [](py::bytes packet) {
        char* p = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(packet.ptr(), &p, &n) != 0) throw py::error_already_set();
        auto copy = std::make_unique<qorvin::python::Packet>();
        copy->p.bytes = new uint8_t[size_t(n) + 1];
        std::memcpy(copy->p.bytes, p, size_t(n));
        copy->p.size = n;
        copy->p.kind = kQorvinPacketBytes;
        copy->p.release = [](uint8_t* bytes) { delete[] bytes; };
        return Result(std::move(copy));
      },
      "A Result over a copy of a data packet's bytes, as a read returns it; ValueError when its "
      "header is malformed.");
}
