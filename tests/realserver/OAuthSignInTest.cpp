// OAuth2 logins against the loopback Dovecot and Postfix, with tokens from
// the loopback token service (scripts/tokenservice.py): the device sign-in,
// scans and challenges with a bearer token, refreshes, rotation and a revoked
// sign-in.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "MailServerScanFixture.h"
#include "lists/CFilterLists.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "signin/CAccessTokens.h"
#include "signin/CDeviceSignIn.h"
#include "signin/CRefreshTokenStore.h"
#include "support/CAppEnvironment.h"
#include "testlib/ProgramRunner.h"

namespace {

const MailServers& Servers() {
    return MailServers::Get();
}

const char* kAccount = "Home";
const char* kOther = "Other";

// One request to the token service; the JSON reply (null on failure).
nlohmann::json Service(const std::string& path, const std::string& form = "") {
    std::string url = Servers().Value("IW_MAIL_TOKEN_URL") + path;
    std::string body;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, Servers().CaFile().c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    if (!form.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    }
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
            static_cast<std::string*>(out)->append(data, size * count);
            return size * count;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return code == CURLE_OK ? nlohmann::json::parse(body, nullptr, false) : nlohmann::json();
}

int Refreshes() {
    nlohmann::json stats = Service("/control/stats");
    return stats.is_object() ? stats.value("refreshes", -1) : -1;
}

// The user at the browser: approves the first device code that shows up.
// Bounded: 100 looks, 100 ms apart.
std::thread Approver(const std::string& user) {
    return std::thread([user] {
        for (int i = 0; i < 100; ++i) {
            nlohmann::json pending = Service("/control/pending");
            if (pending.is_object() && !pending["user_codes"].empty()) {
                Service("/control/approve",
                        "user_code=" + pending["user_codes"][0].get<std::string>() +
                            "&username=" + Servers().Address(user));
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
}

class OAuthSignIn : public MailServerScanFixture {
protected:
    void SetUp() override {
        IW_REQUIRE_TLS_MAIL_SERVERS();
        if (Servers().Value("IW_MAIL_TOKEN_URL").empty()) {
            GTEST_SKIP() << "loopback mail servers unavailable: started without a token service";
        }
        Service("/control/settings", "access_lifetime=3600&rotate=0");
        CAccessTokens::Instance().Forget(kAccount);
        Settings().WriteString("AccountsList", kAccount, "General");
        Settings().WriteString("TlsCaFile", Servers().CaFile(), "General");
        Settings().WriteBool("EnableLogging", true, "General");
        Settings().WriteString("SmtpName", Servers().Host(), "General");
        Settings().WriteInt("SmtpPort", static_cast<int>(Servers().SubmissionPort()), "General");
        Settings().WriteInt("SmtpSecurity", 1, "General");
        Settings().WriteInt("SmtpAuth", 1, "General");
        Settings().WriteString("SmtpOAuthAccount", kAccount, "General");
        Settings().WriteBool("Filter", true, kAccount);
        Settings().WriteString("emailAddress", Servers().Address("me"), kAccount);
        Settings().WriteString("PopName", Servers().Host(), kAccount);
        Settings().WriteInt("PopPort", static_cast<int>(Servers().Pop3sPort()), kAccount);
        Settings().WriteInt("PopSecurity", 2, kAccount);
        Settings().WriteString("PopLogin", Servers().Address("me"), kAccount);
        Settings().WriteInt("PopAuth", 1, kAccount);
        Settings().WriteString("OAuthProvider", "custom", kAccount);
        Settings().WriteString("OAuthClientId", Servers().Value("IW_MAIL_OAUTH_CLIENT"), kAccount);
        std::string url = Servers().Value("IW_MAIL_TOKEN_URL");
        Settings().WriteString("OAuthTokenUrl", url + "/token", kAccount);
        Settings().WriteString("OAuthDeviceUrl", url + "/device", kAccount);
        Settings().WriteString("OAuthScope", "mail", kAccount);
        CFilterLists::Instance().AddWord("friend@iw.test", FL_Friends);
    }
    void TearDown() override {
        CAccessTokens::Instance().Forget(kAccount);
        MailServerScanFixture::TearDown();
    }

    // The device sign-in in this process, approved for "me".
    void SignIn() {
        std::thread approver = Approver("me");
        CDeviceSignIn signIn(Settings(), Profile(), kAccount);
        std::string error;
        std::vector<std::string> said;
        bool ok = signIn.Run([&](const std::string& line) { said.push_back(line); }, error);
        approver.join();
        ASSERT_TRUE(ok) << error;
        ASSERT_EQ(said.size(), 2u);
        EXPECT_EQ(said[1], "Signed in as me@iw.test");
    }

    std::string StoredRefreshToken() {
        std::string token, error;
        EXPECT_TRUE(CRefreshTokenStore::Load(Settings(), Profile(), kAccount, token, error));
        return token;
    }

    static std::string Profile() { return CAppEnvironment::Instance()->GetProgramFolder(); }

    void StartEngine() {
        m_engine = std::make_unique<CInboxWardenEngine>();
        ASSERT_TRUE(m_engine->Initialize(&owner));
    }

    static std::string Message(const std::string& from, const std::string& subject) {
        return "From: " + from + "\r\nTo: me@iw.test\r\nSubject: " + subject +
               "\r\nDate: Tue, 08 Dec 26 01:00:00 GMT\r\n\r\nHello.\r\n";
    }
};

// Set up only through the scanner's device sign-in: the scan logs in with
// the token, the stranger is challenged through SMTP with it, and no token
// reaches a log.
TEST_F(OAuthSignIn, DeviceSignInThroughTheScannerThenScanAndChallenge) {
    std::thread approver = Approver("me");
    ProgramRunner::Result run =
        ProgramRunner::Run(IW_SCAN_BINARY, {"--authorize", kAccount}, 30000);
    approver.join();
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("and enter the code "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Signed in as me@iw.test"), std::string::npos) << run.output;
    ASSERT_FALSE(StoredRefreshToken().empty());

    ASSERT_FALSE(Servers().Drop("me", Message("Friend <friend@iw.test>", "lunch")).empty());
    ASSERT_FALSE(Servers().Drop("me", Message("Stranger <stranger@iw.test>", "offer")).empty());
    run = ProgramRunner::Run(IW_SCAN_BINARY, {}, 60000);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Servers().Count("me"), 1u) << run.output;
    ASSERT_TRUE(Servers().WaitForCount("stranger", 1)) << run.output;

    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.Path())) {
        if (entry.is_regular_file() && entry.path().extension() == ".log") {
            std::string text = TempHome::ReadFile(entry.path().string());
            EXPECT_EQ(text.find("at-"), std::string::npos) << entry.path();
            EXPECT_EQ(text.find("Bearer"), std::string::npos) << entry.path();
        }
    }
    std::string inet = TempHome::ReadFile(home.File("InboxWardenInet.log"));
    EXPECT_NE(inet.find("AUTH OAUTHBEARER (not shown)"), std::string::npos) << inet;
}

// Each mechanism, offered by both servers, logs in to POP3 and sends through
// submission; a token the server does not know is refused with the reason
// from the failure challenge.
TEST_F(OAuthSignIn, EachMechanismWithGoodAndUnknownTokens) {
    SignIn();
    std::string token, error;
    ASSERT_EQ(CAccessTokens::Instance().Get(Settings(), Profile(), kAccount, token, error),
              CAccessTokens::State::Ok)
        << error;
    struct Case {
        SaslOAuth::Mechanism mechanism;
        bool goodToken;
    } cases[] = {{SaslOAuth::Mechanism::XOAuth2, true},
                 {SaslOAuth::Mechanism::OAuthBearer, true},
                 {SaslOAuth::Mechanism::XOAuth2, false},
                 {SaslOAuth::Mechanism::OAuthBearer, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(SaslOAuth::Name(c.mechanism)) +
                     (c.goodToken ? " good" : " unknown"));
        std::string bearer = c.goodToken ? token : "at-unknown-token";
        CPOP3 pop3(Servers().Host(), Servers().Pop3sPort(), "me@iw.test", "");
        pop3.SetSecurity(CPOP3::SEC_Tls, Servers().CaFile());
        pop3.SetBearerToken(bearer);
        pop3.SetOAuthMechanism(c.mechanism);
        EXPECT_EQ(pop3.Connect(), c.goodToken) << pop3.GetErrorText();
        if (c.goodToken) {
            EXPECT_EQ(pop3.GetNumMessages(), 0);
        } else {
            EXPECT_NE(pop3.GetErrorText().find("OAuth2 login refused (status "), std::string::npos)
                << pop3.GetErrorText();
        }
        CSMTP smtp(Servers().Host(), Servers().SubmissionPort());
        smtp.SetSecurity(CSMTP::SEC_StartTls, Servers().CaFile());
        smtp.SetLogin("me@iw.test", "");
        smtp.SetBearerToken(bearer);
        smtp.SetOAuthMechanism(c.mechanism);
        bool sent = smtp.Connect();
        if (sent) {
            CMailContent message;
            message.m_from = "me@iw.test";
            message.AddRecipient("spare@iw.test", "");
            message.m_subject = "sent with a token";
            message.m_body = "Hello.\r\n";
            sent = smtp.SendMessage(message);
        }
        EXPECT_EQ(sent, c.goodToken) << smtp.GetErrorText();
        if (!c.goodToken) {
            EXPECT_NE(smtp.GetErrorText().find("SMTP OAuth2 login refused"), std::string::npos)
                << smtp.GetErrorText();
        }
    }
    EXPECT_TRUE(Servers().WaitForCount("spare", 2));
    Servers().Clear("spare");
}

// Short-lived access tokens are refreshed before each scan, and one the
// server ended early once refused; with rotation the stored refresh token is
// replaced each time (the server retires the old one, so a scan with it
// would fail).
TEST_F(OAuthSignIn, RefreshBeforeExpiryWithAndWithoutRotation) {
    for (bool rotate : {false, true}) {
        SCOPED_TRACE(rotate ? "rotating" : "keeping");
        CAccessTokens::Instance().Forget(kAccount);
        // Tokens of two seconds are renewed after one.
        Service("/control/settings",
                std::string("access_lifetime=2&rotate=") + (rotate ? "1" : "0"));
        SignIn();
        std::string first = StoredRefreshToken();
        int before = Refreshes();
        StartEngine();
        for (int scan = 0; scan < 2; ++scan) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            ASSERT_FALSE(
                Servers()
                    .Drop("me", Message("Friend <friend@iw.test>", "scan " + std::to_string(scan)))
                    .empty());
            m_engine->ScanServers();
            EXPECT_FALSE(m_engine->LastScanHadErrors()) << MainLogText();
        }
        EXPECT_GE(Refreshes(), before + 2);
        // An access token the server ended before its time is renewed at once.
        Service("/control/settings", "access_lifetime=3600");
        m_engine->ScanServers();
        before = Refreshes();
        Service("/control/expire", "username=me@iw.test");
        m_engine->ScanServers();
        EXPECT_FALSE(m_engine->LastScanHadErrors()) << MainLogText();
        EXPECT_EQ(Refreshes(), before + 1);
        EXPECT_EQ(StoredRefreshToken() != first, rotate);
        EXPECT_FALSE(CAccessTokens::IsExpired(Settings(), kAccount));
        m_engine.reset();
        Servers().Clear("me");
    }
}

// A revoked sign-in: the account is skipped as "Sign-in expired" with its
// mail left on the server and its history untouched, the other account is
// scanned, and the scanner says so in one line and exits 1.
TEST_F(OAuthSignIn, RevokedSignInSkipsOnlyThatAccount) {
    SignIn();
    Settings().WriteString("AccountsList", std::string(kAccount) + "," + kOther, "General");
    Settings().WriteBool("Filter", true, kOther);
    Settings().WriteString("emailAddress", Servers().Address("stranger"), kOther);
    Settings().WriteString("PopName", Servers().Host(), kOther);
    Settings().WriteInt("PopPort", static_cast<int>(Servers().Pop3Port()), kOther);
    Settings().WriteString("PopLogin", Servers().Address("stranger"), kOther);
    Settings().WriteString("!PopPassword", Servers().Password("stranger"), kOther);
    // The challenges go out without a sign-in here.
    Settings().WriteInt("SmtpAuth", 0, "General");
    Settings().WriteInt("SmtpSecurity", 0, "General");
    Settings().WriteInt("SmtpPort", static_cast<int>(Servers().SmtpPort()), "General");
    ASSERT_FALSE(Servers().Drop("me", Message("Friend <friend@iw.test>", "kept")).empty());
    ASSERT_FALSE(Servers().Drop("stranger", Message("Friend <friend@iw.test>", "other")).empty());
    Service("/control/revoke", "username=me@iw.test");
    CAccessTokens::Instance().Forget(kAccount);

    StartEngine();
    m_engine->ScanServers();
    EXPECT_TRUE(m_engine->LastScanHadErrors());
    EXPECT_TRUE(CAccessTokens::IsExpired(Settings(), kAccount));
    EXPECT_EQ(owner.FailedAccounts(), std::vector<std::string>{"Home: Sign-in expired"});
    bool said = false;
    for (const std::string& line : owner.Statuses()) {
        said = said || line.find("Sign-in expired for Home") != std::string::npos;
    }
    EXPECT_TRUE(said);
    EXPECT_EQ(Servers().Count("me"), 1u);
    {
        auto lock = m_engine->GetHistory().Lock();
        ASSERT_EQ(m_engine->GetHistory().GetCount(), 1);
        EXPECT_EQ(m_engine->GetHistory().GetAt(0)->m_account, kOther);
    }
    m_engine.reset();

    ProgramRunner::Result run = ProgramRunner::Run(IW_SCAN_BINARY, {}, 60000);
    EXPECT_EQ(run.status, 1) << run.output;
    size_t first = run.output.find("Sign-in expired");
    EXPECT_NE(first, std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Sign-in expired", first + 1), std::string::npos) << run.output;
    EXPECT_EQ(Servers().Count("me"), 1u);
}

}  // namespace
