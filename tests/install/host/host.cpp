// The smallest host of the installed client library: it includes only the installed header,
// loads the library from QORVIN_CLIENT_LIBRARY (given by the CMake package or pkg-config) with
// dlopen, and prints the first value of a query's first row.
//
//   host LETTER HOST PORT SQL     exit 0 and the value on stdout; 1 and the reason on stderr
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qorvin/QorvinClient.h"

#ifndef QORVIN_CLIENT_LIBRARY
#error "QORVIN_CLIENT_LIBRARY names the installed library"
#endif

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: host LETTER HOST PORT SQL\n");
    return 2;
  }
  void* library = dlopen(QORVIN_CLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "host: %s\n", dlerror());
    return 1;
  }
  auto create = reinterpret_cast<QorvinCreateRemoteDataModuleFn>(
      dlsym(library, "CreateRemoteDataModule"));
  if (create == nullptr) {
    std::fprintf(stderr, "host: no CreateRemoteDataModule in %s\n", QORVIN_CLIENT_LIBRARY);
    return 1;
  }
  QorvinText failure{};
  IRemoteDataModule* module = create(0, argv[1][0], argv[2], std::atoi(argv[3]), &failure);
  if (module == nullptr) {
    std::fprintf(stderr, "host: no module: %s\n", failure.data ? failure.data : "?");
    qorvin_text_free(&failure);
    return 1;
  }
  QorvinAdoDataSet* rows = nullptr;
  int32_t result = 0;
  QorvinText error{};
  module->SynchReadDataSet("host", "", argv[4], &rows, &result, &error);
  int status = 1;
  if (rows == nullptr || !rows->Active() || rows->Eof()) {
    std::fprintf(stderr, "host: no rows (result %d): %s\n", int(result),
                 error.data ? error.data : "no error text");
  } else {
    QorvinText value{};
    bool isNull = false;
    if (rows->GetValueText(0, &value, &isNull)) {
      std::printf("%s\n", isNull ? "NULL" : value.data ? value.data : "");
      status = 0;
    }
    qorvin_text_free(&value);
  }
  if (rows != nullptr) rows->Release();
  qorvin_text_free(&error);
  return status;
}
