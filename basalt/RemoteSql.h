// The seam between the framework and the middleware: the two remote SQL operations that every
// framework call reaching the server is built on.
//
// The production implementation goes through the client library libQorvinClient.so, loaded with
// dlopen as any host loads it (TClientRemoteSql, basalt/ClientRemoteSql.h); CreateClientRemoteSql
// creates it. Tests of the plug-in may put a scripted implementation into ShareData instead.
//
// Thread: an IRemoteSql is used on the UI thread only; each call blocks until the server answers
// or the transport gives up (the transport bounds every wait).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "basalt/BasaltApi.h"

namespace qorvin {

class TBasaltDataSet;

class BASALT_API IRemoteSql {
 public:
  virtual ~IRemoteSql();
  // Runs a select statement. On success replaces `out`'s fields and rows with the result, opens
  // it and returns true. On failure returns false with a text in `error`; `out` keeps what it had.
  virtual bool ReadData(const std::string& sql, TBasaltDataSet& out, std::string& error) = 0;
  // Runs a statement or batch that returns no rows. false with a text in `error` on failure.
  virtual bool ExecSql(const std::string& sql, std::string& error) = 0;
  // The longest the following calls may take: past it a call is cancelled and fails with a
  // text that names the bound. 0 (the start): only the transport's own bounds. While a call
  // with a bound waits, the UI thread goes on handling events other than user input, so the
  // windows stay drawn. A connection that answers at once (a scripted one) may ignore it.
  virtual void SetCallBound(std::chrono::milliseconds bound);
};

// Where and how to reach the middleware server.
struct BASALT_API TRemoteSqlConfig {
  std::string Host;           // server host name or address
  int Port = 0;               // server port
  char ConnectType = 'H';     // 'H' HTTP, 'B'/'T' TCP, 'U' UDP
  std::string ClientLibrary;  // path of libQorvinClient.so; empty: ResolveClientLibraryPath's
                              // search (beside the program, $QORVIN_CLIENT_LIBRARY, the loader)
  std::string UserId;         // passed with every call (UTF-8)
};

// Creates the remote SQL connection over the client library: loads it (never unloaded again),
// creates one remote data module for the host, port and connection letter, and wraps it. Nothing
// is sent yet. Returns nullptr and a one-line reason in `error` when the library is missing or
// lacks its export, or the library refuses the connection letter.
BASALT_API std::unique_ptr<IRemoteSql> CreateClientRemoteSql(const TRemoteSqlConfig& config,
                                                             std::string& error);

}  // namespace qorvin
