#include <gtest/gtest.h>

#include "mail/CAuthResults.h"

namespace {

std::string Show(const CAuthResults& parsed) {
    std::string text = parsed.m_servId + "/" + std::to_string(parsed.m_version);
    for (const auto& r : parsed.m_results) {
        text += "|" + r.method + "=" + r.result;
        if (!r.reason.empty()) {
            text += " reason=" + r.reason;
        }
        for (const auto& p : r.properties) {
            text += " " + (p.ptype.empty() ? "" : p.ptype + ".") + p.property + "=" + p.value;
        }
    }
    return text;
}

}  // namespace

TEST(AuthResults, ParsesFieldShapes) {
    const struct {
        const char* value;
        bool ok;
        const char* shown;
    } kCases[] = {
        {" mx.example.org; spf=pass smtp.mailfrom=a@b.example", true,
         "mx.example.org/1|spf=pass smtp.mailfrom=a@b.example"},
        {" mx.example.org 1; none", true, "mx.example.org/1"},
        {" \"quoted id\" ; none", true, "quoted id/1"},
        {" MX.Example.ORG ; DKIM=Pass (good sig)\r\n\theader.d=b.example\r\n"
         " header.b=\"ab+/=\"; dmarc=fail reason=\"p=reject; x\" header.from=b.example",
         true,
         "mx.example.org/1|dkim=pass header.d=b.example header.b=ab+/="
         "|dmarc=fail reason=p=reject; x header.from=b.example"},
        // No identifier at all: the results start at once.
        {" spf=pass (sender IP is 192.0.2.1) smtp.mailfrom=b.example; dkim=pass (signature "
         "was verified) header.d=b.example;dmarc=pass action=none header.from=b.example;"
         "compauth=pass reason=100",
         true,
         "/1|spf=pass smtp.mailfrom=b.example|dkim=pass header.d=b.example"
         "|dmarc=pass action=none header.from=b.example|compauth=pass reason=100"},
        {" mx (nested (comment) here) ; auth/1 = pass (x) smtp.auth = me@x", true,
         "mx/1|auth=pass smtp.auth=me@x"},
        // A bad result in the middle is dropped alone.
        {" mx; spf=pass smtp.mailfrom=b.example; ===; dkim=fail header.d=b.example", true,
         "mx/1|spf=pass smtp.mailfrom=b.example|dkim=fail header.d=b.example"},
        {" mx; spf=pass (unclosed comment", false, ""},
        {" mx; spf=pass smtp.mailfrom=\"unclosed", false, ""},
        {" mx; =pass", false, ""},
        {"", false, ""},
        {" mx; spf", false, ""},
        {" mx 12345; none", false, ""},
    };
    for (const auto& c : kCases) {
        CAuthResults parsed;
        EXPECT_EQ(parsed.Parse(c.value), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(Show(parsed), c.shown) << c.value;
        }
    }
}

TEST(AuthResults, BoundsHostileFields) {
    CAuthResults parsed;
    EXPECT_FALSE(
        parsed.Parse(" mx; spf=pass x.y=" + std::string(CAuthResults::kMaxFieldLength, 'a')));
    EXPECT_FALSE(parsed.Parse(" mx; spf=pass " + std::string(100, '(') + std::string(100, ')')));
    std::string many = " mx";
    for (int i = 0; i < 40; ++i) {
        many +=
            "; spf=pass a.b=c d.e=f g.h=i j.k=l m.n=o p.q=r s.t=u v.w=x y.z=1 a.a=2 b.b=3 "
            "c.c=4 d.d=5 e.e=6 f.f=7 g.g=8 h.h=9";
    }
    ASSERT_TRUE(parsed.Parse(many));
    EXPECT_EQ(parsed.m_results.size(), CAuthResults::kMaxResults);
    EXPECT_EQ(parsed.m_results[0].properties.size(), CAuthResults::kMaxProperties);
}

// Headers as providers leave them, top part only, each with the From domain
// b.example; `ids` are what the account's server is known to call itself.
TEST(AuthResults, TrustsOnlyTheAccountsOwnServer) {
    const struct {
        const char* name;
        const char* header;
        std::vector<std::string> ids;
        const char* topId;  // nullptr: none found
        bool verified;
        const char* summary;
        const char* from = "b.example";
    } kCases[] = {
        {"gmail",
         "Delivered-To: me@gmail.example\r\n"
         "Received: by 2002:a05:6a10:8f0e:b0:4a1:2c3 with SMTP id x; Tue, 8 Dec 2026\r\n"
         "ARC-Authentication-Results: i=1; mx.google.com; dkim=fail header.i=@b.example\r\n"
         "Return-Path: <a@b.example>\r\n"
         "Received: from mail.b.example (mail.b.example. [192.0.2.1])\r\n"
         "        by mx.google.com with ESMTPS id y for <me@gmail.example>;\r\n"
         "Received-SPF: pass (google.com: domain of a@b.example designates 192.0.2.1)\r\n"
         "Authentication-Results: mx.google.com;\r\n"
         "       dkim=pass header.i=@b.example header.s=s1 header.b=Xy12;\r\n"
         "       spf=pass (google.com: domain of a@b.example designates 192.0.2.1 as "
         "permitted sender) smtp.mailfrom=a@b.example;\r\n"
         "       dmarc=pass (p=NONE sp=NONE dis=NONE) header.from=b.example\r\n"
         "Received: from x by mail.b.example\r\n",
         {"mx.google.com"},
         "mx.google.com",
         true,
         "dkim=pass, spf=pass, dmarc=pass"},
        {"microsoft 365, no identifier",
         "Received: from BN8PR.namprd12.prod.outlook.com by SN6PR.namprd12.prod.outlook.com\r\n"
         "Authentication-Results: spf=pass (sender IP is 192.0.2.1)\r\n"
         " smtp.mailfrom=b.example; dkim=pass (signature was verified)\r\n"
         " header.d=b.example;dmarc=pass action=none header.from=b.example;compauth=pass "
         "reason=100\r\n"
         "Received: from mail.b.example (192.0.2.1) by BN8.mail.protection.outlook.com\r\n",
         {""},
         "",
         true,
         "spf=pass, dkim=pass, dmarc=pass"},
        {"fastmail, internal hops above",
         "Return-Path: <a@b.example>\r\n"
         "Received: from compute1.internal (compute1.nyi.internal [10.202.2.41])\r\n"
         "  by sloti32 (Cyrus) with LMTPA;\r\n"
         "Received: from mx6.messagingengine.com (localhost [127.0.0.1])\r\n"
         "  by mailmx.nyi.internal (Postfix);\r\n"
         "Authentication-Results: mx6.messagingengine.com; dkim=pass (2048-bit rsa key "
         "sha256) header.d=b.example header.i=@b.example header.b=Abc header.a=rsa-sha256 "
         "x-bits=2048; dmarc=pass policy.published-domain-policy=none (p=none,d=none) "
         "header.from=b.example; iprev=pass smtp.remote-ip=192.0.2.1 (mail.b.example); "
         "spf=pass smtp.mailfrom=a@b.example smtp.helo=mail.b.example\r\n"
         "Received: from mail.b.example by mx6.messagingengine.com (Postfix)\r\n",
         {"mx6.messagingengine.com"},
         "mx6.messagingengine.com",
         true,
         "dkim=pass, dmarc=pass, spf=pass"},
        {"postfix with opendkim and opendmarc, subdomain sender signed by the parent",
         "Return-Path: <a@news.b.example>\r\n"
         "Delivered-To: me@mx.example.org\r\n"
         "Authentication-Results: mx.example.org; dmarc=none (p=none dis=none) "
         "header.from=news.b.example\r\n"
         "Authentication-Results: mx.example.org;\r\n"
         "\tdkim=pass (2048-bit key; unprotected) header.d=b.example header.i=@b.example "
         "header.b=\"kQ3v\";\r\n"
         "\tdkim-atps=neutral\r\n"
         "Received: from mail.b.example (mail.b.example [192.0.2.1])\r\n"
         "\tby mx.example.org (Postfix) with ESMTPS id 4F1;\r\n",
         {"mx.example.org"},
         "mx.example.org",
         true,
         "dmarc=none, dkim=pass",
         "news.b.example"},
        {"rspamd, the sender's relay added its own below",
         "Received: from mail.b.example by mx.example.net (Postfix)\r\n"
         "Authentication-Results: mx.example.net; dkim=fail header.d=b.example;\r\n"
         " spf=softfail (mx.example.net: 203.0.113.9 is neither permitted nor denied) "
         "smtp.mailfrom=a@b.example; dmarc=fail reason=\"SPF not aligned (relaxed)\" "
         "header.from=b.example (policy=reject)\r\n"
         "Authentication-Results: relay.b.example; spf=pass smtp.mailfrom=a@b.example\r\n"
         "Received: from evil by relay.b.example\r\n",
         {"mx.example.net"},
         "mx.example.net",
         false,
         "dkim=fail, spf=softfail, dmarc=fail"},
        {"forged header with the right id under a later Received line",
         "Authentication-Results: mx.example.org; spf=fail smtp.mailfrom=a@b.example; "
         "dmarc=fail header.from=b.example\r\n"
         "Received: from evil.example by mx.example.org (Postfix)\r\n"
         "Received: from x by mx.example.org (forged)\r\n"
         "Authentication-Results: mx.example.org; dmarc=pass header.from=b.example\r\n",
         {"mx.example.org"},
         "mx.example.org",
         false,
         "spf=fail, dmarc=fail"},
        {"server wrote none: a forged one below a foreign Received line",
         "Received: from evil.example by mx.example.org (Postfix)\r\n"
         "Received: from x by evil.example\r\n"
         "Authentication-Results: mx.example.org; dmarc=pass header.from=b.example\r\n",
         {"mx.example.org"},
         nullptr,
         false,
         "no results"},
        {"another server's id only",
         "Authentication-Results: mx.other.example; dmarc=pass header.from=b.example\r\n"
         "Received: from mail.b.example by mx.example.org\r\n",
         {"mx.example.org"},
         "mx.other.example",
         false,
         "no results"},
        {"dkim by a look-alike and spf for another domain",
         "Authentication-Results: mx.example.org; dkim=pass header.d=xb.example; "
         "spf=pass smtp.mailfrom=a@b.example.evil; dkim=pass header.d=example; "
         "dmarc=pass header.from=evil.example\r\n",
         {"mx.example.org"},
         "mx.example.org",
         false,
         "dkim=pass, spf=pass, dmarc=pass"},
        {"none at all",
         "From: a@b.example\r\nSubject: hi\r\n\r\nAuthentication-Results: x\r\n",
         {"mx.example.org"},
         nullptr,
         false,
         "no results"},
        {"no id known",
         "Authentication-Results: mx.example.org; dmarc=pass header.from=b.example\r\n",
         {},
         "mx.example.org",
         false,
         "no results"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string topId;
        EXPECT_EQ(CAuthResults::TopServId(c.header, topId), c.topId != nullptr);
        if (c.topId) {
            EXPECT_EQ(topId, c.topId);
        }
        auto trusted = CAuthResults::Trusted(c.header, c.ids);
        EXPECT_EQ(CAuthResults::Verifies(trusted, c.from), c.verified);
        EXPECT_EQ(CAuthResults::Summary(trusted), c.summary);
    }
}
