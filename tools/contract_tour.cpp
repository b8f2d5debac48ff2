// contract-tour: builds real requests of the VelmarLib contract through the remote service and
// its proxies, carries them over an in-process loopback channel to a scripted responder, and
// prints the request bytes and the decoded reply values.
//
// The responder is a short script inside this program, not a server: it reads each request with
// a binary message of its own and answers "SynchReadData" with a fixed blob and "GetDateTime"
// with this machine's clock. Nothing leaves the process.
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "contract/VelmarLib_Intf.h"
#include "messaging/uROBinMessage.h"
#include "messaging/uROBinaryHelpers.h"
#include "messaging/uRORemoteService.h"
#include "platform/rtl/Exceptions.h"

namespace {

using namespace qorvin;

// Carries a message to a function in the same process and back, like a channel would.
class TInProcessChannel : public TROComponent, public IROTransportChannel {
 public:
  using Script = std::function<void(TMemoryStream& request, TStream& response)>;
  TInProcessChannel(TROComponent* owner, Script script)
      : TROComponent(owner, "InProcessChannel"), script_(std::move(script)) {}

  void* GetTransportInstance() override { return this; }
  void AssignServerLocator(TROServerLocator*, const std::exception*) override {}
  bool ProbeServer(TROServerLocator*) override { return true; }
  void ProbeServerLocators() override {}
  void PrepareDispatch(IROMessage*) override {}

  void Dispatch(TStream& request, TStream& response) override {
    TMemoryStream copy;
    copy.LoadFromStream(request);
    script_(copy, response);
    response.SetPosition(0);
  }
  void Dispatch(IROMessage& message) override {
    TMemoryStream request;
    message.WriteToStream(request);
    auto response = std::make_unique<TMemoryStream>();
    Dispatch(request, *response);
    message.BeforeRead(this);
    message.ReadFromStream(std::move(response));
  }

 private:
  Script script_;
};

void PrintHex(const std::string& title, const TMemoryStream& bytes) {
  std::printf("%s (%lld bytes):\n", title.c_str(), static_cast<long long>(bytes.Size()));
  const auto view = bytes.Bytes();
  for (size_t row = 0; row < view.size(); row += 16) {
    std::printf("  %04zx ", row);
    std::string text;
    for (size_t i = row; i < row + 16; ++i) {
      if (i < view.size()) {
        std::printf(" %02X", view[i]);
        text += (view[i] >= 32 && view[i] < 127) ? char(view[i]) : '.';
      } else {
        std::printf("   ");
      }
    }
    std::printf("  %s\n", text.c_str());
  }
}

double NowAsDateTime() {
  using namespace std::chrono;
  constexpr sys_days epoch = year{1899} / December / 30;
  const duration<double, days::period> since = system_clock::now() - epoch;
  return since.count();
}

std::string DateTimeText(double value) {
  using namespace std::chrono;
  constexpr sys_days epoch = year{1899} / December / 30;
  const auto whole = floor<days>(duration<double, days::period>(value));
  const year_month_day date{epoch + whole};
  const auto secs = static_cast<long>((value - double(whole.count())) * 86400.0 + 0.5);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld UTC", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), secs / 3600, secs / 60 % 60,
                secs % 60);
  return text;
}

// The scripted responder: reads the request, prints it, answers by operation name.
void Respond(TMemoryStream& request, TStream& response) {
  PrintHex("request", request);
  TROBinMessage server;
  server.UseCompression = false;
  server.ReadFromStream(request);
  const std::string op = server.GetMessageName();
  std::printf("  script read: %s.%s", server.GetInterfaceName().c_str(), op.c_str());
  std::string user, serial;
  std::u16string command;
  if (op == "SynchReadData") {
    server.ReadMessageParameter("aUserId", TypeInfo_String(), &user, 0);
    server.ReadMessageParameter("aHDHSerialNumber", TypeInfo_String(), &serial, 0);
    server.ReadMessageParameter("aSqlCommand", TypeInfo_WideString(), &command, 0);
    std::printf(" (aUserId \"%s\", aHDHSerialNumber \"%s\", aSqlCommand of %zu code units)",
                user.c_str(), serial.c_str(), command.size());
  }
  std::printf("\n");

  // Reading adopted the client's identifier, so the reply carries it back unchanged.
  server.InitializeResponse(nullptr, kVelmarLibName, server.GetInterfaceName(), op);
  if (op == "SynchReadData") {
    const int32_t result = 1;
    auto blob = std::make_unique<TROBinaryMemoryStream>("scripted blob, not a dataset");
    server.WriteMessageParameter("Result", TypeInfo_Integer(), &result, 0);
    server.WriteMessageParameter("aOutData", TypeInfo_Binary(), &blob, 0);
  } else if (op == "GetDateTime") {
    const double now = NowAsDateTime();
    server.WriteMessageParameter("Result", TypeInfo_TDateTime(), &now, paIsDateTime);
  } else {
    throw EROException("the scripted responder knows no operation \"" + op + "\"");
  }
  TMemoryStream reply;
  server.WriteToStream(reply);
  PrintHex("reply", reply);
  response.CopyFrom(reply, 0);
}

}  // namespace

int main() {
  std::printf(
      "contract-tour: real requests of the VelmarLib contract, built by the proxies and the\n"
      "binary message. The server is an in-process script (no network, no database): it\n"
      "answers SynchReadData with a fixed blob and GetDateTime with this machine's clock.\n\n");
  try {
    RegisterVelmarLibProxies();
    TROComponent module(nullptr, "DataModule");
    auto* service = new TRORemoteService(&module, "ROService");
    auto* message = new TROBinMessage(&module, "ROMessage");
    message->UseCompression = false;
    auto* channel = new TInProcessChannel(&module, Respond);
    service->SetMessage(message);
    service->SetChannel(channel);

    service->SetServiceName("ExecSqlService");
    auto execSql = IntfCast<IExecSqlService>(*service);

    std::printf("== ExecSqlService.SynchReadData\n");
    std::unique_ptr<TROBinaryMemoryStream> data;
    const int32_t result = execSql->SynchReadData("demo", "HDH-0001", u"select 1", data);
    std::printf("decoded reply: Result = %d, aOutData = %s\n\n", result,
                data ? ("\"" + data->ToString() + "\"").c_str() : "(none)");

    std::printf("== ExecSqlService.GetDateTime\n");
    const double now = execSql->GetDateTime();
    std::printf("decoded reply: Result = %.8f (%s)\n", now, DateTimeText(now).c_str());
    UnregisterVelmarLibProxies();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "contract-tour failed: %s\n", e.what());
    UnregisterVelmarLibProxies();
    return 1;
  }
}
