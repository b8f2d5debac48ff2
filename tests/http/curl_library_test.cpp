// libcurl loaded on first use: what a missing or wrong library gives, and that the engine and the
// URL parser fail with that text instead of crashing, then work once the library is there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/http/CurlLibrary.h"
#include "platform/http/HttpConnection.h"
#include "platform/http/Url.h"
#include "tests/http/TestHttpServer.h"

namespace qorvin {
namespace {

constexpr char kMissing[] = "libqorvin-test-no-such-curl.so.4";

TEST(CurlLibrary, OpeningReportsAMissingLibraryOrFunctionAndKeepsTheTable) {
  TCurlLibrary lib;
  std::string error;
  EXPECT_FALSE(OpenCurlLibrary(kMissing, lib, error));
  EXPECT_EQ(error.rfind("libcurl could not be loaded: ", 0), 0u) << error;
  EXPECT_NE(error.find(kMissing), std::string::npos) << error;
  EXPECT_EQ(lib.easy_init, nullptr);

  // A library that loads but is not libcurl: the first function it lacks is named.
  error.clear();
  EXPECT_FALSE(OpenCurlLibrary("libz.so.1", lib, error));
  EXPECT_EQ(error,
            "libcurl could not be loaded: libz.so.1 has no function curl_global_init "
            "(libcurl 7.80 or later is needed)");
  EXPECT_EQ(lib.global_init, nullptr);
  EXPECT_EQ(lib.easy_setopt, nullptr);

  error.clear();
  ASSERT_TRUE(OpenCurlLibrary(kCurlLibraryFile, lib, error)) << error;
  EXPECT_EQ(error, "");
  for (const void* fn :
       {(const void*)lib.global_init, (const void*)lib.easy_init, (const void*)lib.easy_setopt,
        (const void*)lib.multi_poll, (const void*)lib.multi_wakeup, (const void*)lib.slist_free_all,
        (const void*)lib.url_get, (const void*)lib.free})
    EXPECT_NE(fn, nullptr);
  EXPECT_STREQ(lib.easy_strerror(CURLE_OK), "No error");
}

// Runs in a fresh process (the death-test child re-runs this program with only this test), so
// that nothing loaded libcurl before it.
void WithoutLibcurlEveryUseFailsClearlyUntilItIsThere() {
  auto check = [](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "failed: %s\n", what);
      std::exit(1);
    }
  };
  UseCurlLibraryFile(kMissing);
  std::string error;
  check(LoadCurl(error) == nullptr, "LoadCurl found a library that is not there");
  check(error.find(kMissing) != std::string::npos, "the load error names the file");
  try {
    THttpConnection connection;
    check(false, "a connection without libcurl");
  } catch (const EHttpError& e) {
    check(e.Code() == CURLE_FAILED_INIT, "EHttpError carries CURLE_FAILED_INIT");
    check(e.Kind() == THttpFailureKind::Other, "the failure is not a network failure");
    check(!e.RequestSent(), "nothing was sent");
    check(std::string(e.what()).rfind("libcurl could not be loaded: ", 0) == 0,
          "the connection's error says libcurl could not be loaded");
  }
  TUrlParts parts;
  try {
    CrackUrl("http://example.invalid/Bin", parts);
    check(false, "a URL parsed without libcurl");
  } catch (const EHttpError& e) {
    check(std::string(e.what()).find(kMissing) != std::string::npos, "the URL error names it");
  }

  // The next use tries again and finds the library.
  UseCurlLibraryFile(kCurlLibraryFile);
  testing::TestHttpServer server([](const testing::HttpRequestSeen&, int fd, const auto&) {
    return testing::WriteAll(fd, testing::HttpResponse(200, "OK", "loaded"));
  });
  check(CrackUrl(server.Url(), parts) && parts.path == "/Bin", "the URL parses once loaded");
  THttpConnection connection;
  THttpRequest request;
  request.url = server.Url();
  request.proxyMode = THttpProxyMode::Direct;
  request.connectTimeoutMs = request.idleTimeoutMs = 10000;
  TMemoryStream body, response;
  body.WriteBytes("x");
  check(connection.Post(request, body, response).status == 200, "the request is answered");
  check(response.View() == "loaded", "the answer arrives");
  // Once loaded, the library stays: pointing elsewhere changes nothing.
  UseCurlLibraryFile(kMissing);
  check(LoadCurl(error) != nullptr, "the loaded library stays");
  std::exit(0);
}

TEST(CurlLibrary, WithoutLibcurlEveryUseFailsClearlyUntilItIsThere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(WithoutLibcurlEveryUseFailsClearlyUntilItIsThere(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qorvin
