// The built fetchel.exe through WinINet against http and https servers on loopback
// (windows/with_test_servers.sh), reporting to a message-only window of this process.
#include <windows.h>
// Separate block: wincrypt.h needs windows.h first.
#include <gtest/gtest.h>
#include <wincrypt.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "velmor/platform/mailbox.h"
#include "velmor/platform/system_text.h"
#include "velmor/test/temp_dir.h"

namespace velmor::test {
namespace {

namespace fs = std::filesystem;
using platform::WindowMessage;

// The servers' bytes: offset i holds (i * 131 + (i >> 10) * 7) & 0xff (windows/test_servers.py).
std::string Pattern(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 131 + (i >> 10) * 7) & 0xff);
    return bytes;
}

std::string Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring Quoted(const std::string& argument) {
    std::wstring wide = platform::PathFromText(argument).native();
    return L"\"" + wide + L"\"";
}

// Compares a file's bytes with the pattern without printing either: they are large.
::testing::AssertionResult HoldsPattern(const fs::path& file, std::size_t length) {
    const std::string bytes = ReadBytes(file);
    const std::string expected = Pattern(length);
    if (bytes == expected) return ::testing::AssertionSuccess();
    std::size_t same = 0;
    while (same < bytes.size() && same < length && bytes[same] == expected[same]) ++same;
    return ::testing::AssertionFailure() << file << " holds " << bytes.size() << " bytes, the first " << same
                                         << " of the " << length << " expected";
}

struct Outcome {
    DWORD exit_code = 0xFFFFFFFF;
    std::vector<std::int64_t> values;  // lParam of each notification
};

// Runs fetchel with `arguments` and collects what reaches `mailbox` while it runs.
Outcome RunFetchel(const std::vector<std::string>& arguments, platform::Mailbox& mailbox) {
    const fs::path program = BuiltProgramFolder() / "support" / "fetchel.exe";
    std::wstring line = L"\"" + program.native() + L"\"";
    for (const std::string& argument : arguments) line += L" " + Quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    Outcome outcome;
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                          nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start " << program << ": " << ::GetLastError();
        return outcome;
    }
    const auto drain = [&] {
        while (const auto message = mailbox.Receive()) {
            EXPECT_EQ(message->message, platform::kWmUser);
            EXPECT_EQ(message->wParam, 0);
            outcome.values.push_back(message->lParam);
        }
    };
    const DWORD start = ::GetTickCount();
    for (;;) {
        // Wakes for the end of the program and for every message posted to this thread.
        const DWORD woke = ::MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 100, QS_ALLINPUT);
        drain();
        if (woke == WAIT_OBJECT_0) break;
        if (::GetTickCount() - start > 120000) {
            ADD_FAILURE() << "fetchel did not end";
            ::TerminateProcess(process.hProcess, 255);  // the process this test started
            break;
        }
    }
    drain();
    ::GetExitCodeProcess(process.hProcess, &outcome.exit_code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return outcome;
}

// The test CA in the prefix's root store for as long as the object lives.
class TrustedTestCa final {
public:
    TrustedTestCa() {
        const std::string der = ReadBytes(Setting("VELMOR_TEST_CA"));
        store_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (store_ == nullptr || der.empty()) return;
        added_ = ::CertAddEncodedCertificateToStore(
                     store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &certificate_) != 0 &&
                 // Written through to the registry now, where other processes read the store.
                 ::CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr) != 0;
    }
    ~TrustedTestCa() {
        if (certificate_ != nullptr) ::CertDeleteCertificateFromStore(certificate_);  // frees it too
        if (store_ != nullptr) {
            ::CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
            ::CertCloseStore(store_, 0);
        }
    }
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;
    bool added() const { return added_; }

private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT certificate_ = nullptr;
    bool added_ = false;
};

class FetchelWindows : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Setting("VELMOR_TEST_HTTP").empty()) << "run through windows/with_test_servers.sh";
        ASSERT_TRUE(fs::exists(BuiltProgramFolder() / "support" / "fetchel.exe"));
        mailbox_ = platform::OpenMailbox();
        ASSERT_TRUE(mailbox_);
    }

    std::string Window() const { return std::to_string(mailbox_->Handle()); }
    Outcome Fetch(const std::string& source, const fs::path& output, std::int64_t size) {
        return RunFetchel({source, output.string(), Window(), "0", std::to_string(size), "0"}, *mailbox_);
    }

    TempDir folder;
    std::unique_ptr<platform::Mailbox> mailbox_;
};

TEST_F(FetchelWindows, HttpDownloadPostsPercentagesThenCompleteAndSuccessToTheWindow) {
    // 250,000 bytes announced as such: 40 after 102,400 bytes, 81 after 204,800, then 100 and -1.
    const auto run = Fetch(Setting("VELMOR_TEST_HTTP") + "/bytes/250000", folder / "package.jar", 250000);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.values, (std::vector<std::int64_t>{40, 81, 100, -1}));
    EXPECT_TRUE(HoldsPattern(folder / "package.jar", 250000));
}

TEST_F(FetchelWindows, HttpsNeedsTheTestCaInTheRootStoreAndIsNeverLeftForHttp) {
    const std::string source = Setting("VELMOR_TEST_HTTPS") + "/bytes/150000";
    const auto untrusted = Fetch(source, folder / "untrusted.jar", 150000);
    EXPECT_EQ(untrusted.values, std::vector<std::int64_t>{-2}) << "a certificate of an unknown CA is refused";
    EXPECT_EQ(untrusted.exit_code, 0u);

    const TrustedTestCa trust;
    ASSERT_TRUE(trust.added());
    const auto trusted = Fetch(source, folder / "trusted.jar", 150000);
    EXPECT_EQ(trusted.values, (std::vector<std::int64_t>{68, 100, -1}));
    EXPECT_TRUE(HoldsPattern(folder / "trusted.jar", 150000));

    // Redirects may keep or raise the scheme, never lower it from https to http.
    const std::string http = Setting("VELMOR_TEST_HTTP");
    const auto up = Fetch(http + "/away?to=" + source, folder / "up.jar", 150000);
    EXPECT_EQ(up.values, (std::vector<std::int64_t>{68, 100, -1}));
    EXPECT_TRUE(HoldsPattern(folder / "up.jar", 150000));
    const auto down =
        Fetch(Setting("VELMOR_TEST_HTTPS") + "/away?to=" + http + "/bytes/1000", folder / "down.jar", 0);
    EXPECT_EQ(down.values, std::vector<std::int64_t>{-2});
    EXPECT_EQ(ReadBytes(folder / "down.jar"), "");
}

TEST_F(FetchelWindows, AnErrorPageIsContentAndALostConnectionFails) {
    const std::string base = Setting("VELMOR_TEST_HTTP");
    const auto page = Fetch(base + "/no-such-file", folder / "page.html", 0);
    EXPECT_EQ(page.values, std::vector<std::int64_t>{-1})
        << "no status check: without a size only the outcome";
    EXPECT_EQ(ReadBytes(folder / "page.html"), "<html><body>404 Not Found</body></html>");

    const auto lost = Fetch(base + "/halfway/300000", folder / "half.jar", 300000);
    ASSERT_FALSE(lost.values.empty());
    EXPECT_EQ(lost.values.back(), -2);
    for (const std::int64_t value : lost.values) EXPECT_NE(value, 100);
    EXPECT_TRUE(HoldsPattern(folder / "half.jar", 150000)) << "what arrived stays";
}

TEST_F(FetchelWindows, AKoreanOutputNameComesThroughTheCommandLineWhole) {
    // "다운로드.jar": outside the ASCII range the UTF-16 command line carries it unchanged.
    const std::string name = "\xEB\x8B\xA4\xEC\x9A\xB4\xEB\xA1\x9C\xEB\x93\x9C.jar";
    const fs::path output = platform::PathFromText((folder.path().string() + "\\" + name));
    const auto run =
        RunFetchel({Setting("VELMOR_TEST_HTTP") + "/bytes/5000", output.string(), Window()}, *mailbox_);
    EXPECT_EQ(run.values, std::vector<std::int64_t>{-1});
    EXPECT_TRUE(HoldsPattern(folder.path() / L"\uB2E4\uC6B4\uB85C\uB4DC.jar", 5000));
}

TEST_F(FetchelWindows, AWrongArgumentCountEndsAtOnceWithoutAFile) {
    const auto run = RunFetchel({Setting("VELMOR_TEST_HTTP") + "/bytes/10", (folder / "x").string(), Window(),
                                 "0", "10", "0", "extra"},
                                *mailbox_);
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_TRUE(run.values.empty());
    EXPECT_FALSE(fs::exists(folder / "x"));
}

}  // namespace
}  // namespace velmor::test
