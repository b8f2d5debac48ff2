#include "basalt/ClientRemoteSql.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <exception>
#include <future>
#include <memory>
#include <thread>

#include "basalt/ClientLibrary.h"
#include "basalt/ClientValues.h"
#include "basalt/DataSet.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

// {6C1E0D2A-6A53-4C4B-9E32-2B8C5D0F7A11}: the module's record-set factory.
constexpr IRemoteDataModule::Guid kDataSetFactoryIID = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

// Frees what the library stored on every path.
struct TextSlot {
  QorvinText t{};
  ~TextSlot() { qorvin_text_free(&t); }
};
struct PacketSlot {
  QorvinDataPacket p{};
  ~PacketSlot() { qorvin_packet_free(&p); }
};
struct RecordSetSlot {
  QorvinAdoDataSet* r = nullptr;
  ~RecordSetSlot() {
    if (r != nullptr) r->Release();
  }
};

// The failure of a call cut off at `bound`.
std::string BoundText(std::chrono::milliseconds bound) {
  const int64_t ms = bound.count();
  const std::string amount =
      ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return "the server did not answer within " + amount + " (the call was cancelled)";
}

}  // namespace

TClientRemoteSql::TClientRemoteSql(IRemoteDataModule* module, IQorvinDataSetFactory* factory,
                                   std::string userId)
    : module_(module), factory_(factory), user_id_(std::move(userId)) {
  module_->SetOnError({&TClientRemoteSql::OnError, this});
  void* progress = nullptr;
  if (module_->QueryInterface(&kQorvinIID_IQorvinProgress, &progress) == 0)
    progress_ = static_cast<IQorvinProgress*>(progress);
}

TClientRemoteSql::~TClientRemoteSql() {
  // The module outlives this object: it must not call back into it.
  module_->SetOnError({nullptr, nullptr});
}

void TClientRemoteSql::OnError(void* self, const char* message, const char* /*detail*/) {
  auto* remote = static_cast<TClientRemoteSql*>(self);
  remote->failed_ = true;
  if (message != nullptr && *message != '\0') {
    QorvinText text{const_cast<char*>(message), int32_t(std::char_traits<char>::length(message)),
                    nullptr};
    remote->failure_ = LibraryTextToUtf8(text);
  }
}

bool TClientRemoteSql::BeginCall(const std::string& sql, std::string& ansiUser,
                                 std::string& ansiSql, std::string& error) {
  failed_ = false;
  failure_.clear();
  last_result_ = 0;
  if (sql.find('\0') != std::string::npos || user_id_.find('\0') != std::string::npos) {
    error = "the SQL text or user id holds a NUL character and cannot be sent";
    return false;
  }
  try {
    ansiUser = Utf8ToAnsi(user_id_);
    ansiSql = Utf8ToAnsi(sql);
    return true;
  } catch (const Exception& e) {
    error = std::string("the SQL text or user id cannot be sent in the locale's code set (") +
            AnsiCodeSet() + "): " + e.what();
    return false;
  }
}

bool TClientRemoteSql::CallSucceeded(const QorvinText& errorText, std::string& error) {
  if (!failed_ && errorText.length == 0) return true;
  error = LibraryTextToUtf8(errorText);
  if (error.empty()) error = failure_;
  if (error.empty()) {
    TextSlot last;
    module_->GetLastErrorText(&last.t);
    error = LibraryTextToUtf8(last.t);
  }
  if (error.empty()) error = "the client library reported a failure without a reason";
  return false;
}

bool TClientRemoteSql::WithinBound(const std::function<void()>& call) {
  if (bound_.count() <= 0 || progress_ == nullptr) {
    call();
    return true;
  }
  std::promise<void> finished;
  std::future<void> done = finished.get_future();
  // Without an application there are no events to handle: the thread just waits.
  std::unique_ptr<QEventLoop> loop;
  if (QCoreApplication::instance() != nullptr) loop = std::make_unique<QEventLoop>();
  QEventLoop* const target = loop.get();
  std::thread worker([&] {
    try {
      call();
      finished.set_value();
    } catch (...) {
      finished.set_exception(std::current_exception());  // raised again on the calling thread
    }
    if (target != nullptr)
      QMetaObject::invokeMethod(target, &QEventLoop::quit, Qt::QueuedConnection);
  });
  if (loop != nullptr) {
    QTimer::singleShot(bound_, target, &QEventLoop::quit);
    // Repaints, timers and posted events go on; clicks and keys wait for the call's end.
    if (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
      loop->exec(QEventLoop::ExcludeUserInputEvents);
  } else {
    done.wait_for(bound_);
  }
  bool inTime = done.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  // Past the bound: cancel until the call has ended. A cancel can only reach a call in flight,
  // so it is repeated while the call may still be starting; the library ends a cancelled call
  // within milliseconds.
  while (!inTime && done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
    progress_->Cancel();
  worker.join();
  loop.reset();  // drops the worker's quit if it came after the bound
  done.get();
  return inTime;
}

bool TClientRemoteSql::ReadData(const std::string& sql, TBasaltDataSet& out, std::string& error) {
  std::string user, text;
  if (!BeginCall(sql, user, text, error)) return false;
  PacketSlot packet;
  TextSlot errorText;
  if (!WithinBound([&] {
        module_->SynchReadData(user.c_str(), "", text.c_str(), &packet.p, &last_result_,
                               &errorText.t);
      })) {
    error = BoundText(bound_);
    return false;
  }
  if (!CallSucceeded(errorText.t, error)) return false;

  TDataSetContent content;
  if (packet.p.kind == kQorvinPacketBytes && packet.p.bytes != nullptr) {
    RecordSetSlot records;
    records.r = factory_->PacketToAdoDataSet(&packet.p);
    if (records.r == nullptr) {
      error = "the client library could not read the data packet the server's answer gave";
      return false;
    }
    try {
      content = ReadClientRecordSet(*records.r);
    } catch (const std::exception& e) {
      error = std::string("the server's data cannot be shown: ") + e.what();
      return false;
    }
  }
  // Only a complete result replaces what `out` held.
  out.SetFields(std::move(content.Fields));
  for (std::vector<Variant>& row : content.Rows) out.AppendRow(std::move(row));
  out.Open();
  return true;
}

bool TClientRemoteSql::ExecSql(const std::string& sql, std::string& error) {
  std::string user, text;
  if (!BeginCall(sql, user, text, error)) return false;
  TextSlot errorText;
  if (!WithinBound([&] {
        module_->SynchExecSQL(user.c_str(), "", text.c_str(), &last_result_, &errorText.t);
      })) {
    error = BoundText(bound_);
    return false;
  }
  return CallSucceeded(errorText.t, error);
}

std::unique_ptr<IRemoteSql> CreateClientRemoteSql(const TRemoteSqlConfig& config,
                                                  std::string& error) {
  const std::string where =
      "no connection to " + config.Host + ":" + std::to_string(config.Port) + ": ";
  const std::string path = ResolveClientLibraryPath(config.ClientLibrary);
  const QorvinCreateRemoteDataModuleFn create = LoadClientLibrary(path, error);
  if (create == nullptr) {
    error = where + error;
    return nullptr;
  }
  TextSlot failure;
  IRemoteDataModule* module =
      create(0, config.ConnectType, config.Host.c_str(), config.Port, &failure.t);
  if (module == nullptr) {
    error = where + "the client library " + path + " refused: " + LibraryTextToUtf8(failure.t);
    return nullptr;
  }
  void* factory = nullptr;
  if (module->QueryInterface(&kDataSetFactoryIID, &factory) != 0 || factory == nullptr) {
    error = where + "the client library " + path + " offers no record-set factory";
    return nullptr;
  }
  return std::make_unique<TClientRemoteSql>(module, static_cast<IQorvinDataSetFactory*>(factory),
                                            config.UserId);
}

}  // namespace qorvin
