#include "engine/trust.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "engine/locations.h"
#include "engine/manifests.h"
#include "tests/support/data_file.h"
#include "tests/support/hooked_platform.h"
#include "tests/support/memory_platform.h"

namespace ks {
namespace {

// The base point of P-256 as a pinned key, and as its SPKI.
const char kPoint[] =
    "ecdsa-p256:BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+"
    "eFivOM1drMV7Oy7ZAaDe/UfU=";
const char kSpki[] =
    "ecdsa-p256:"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEaxfR8uEsQkf4vOblY6RA8ncDfYEt"
    "6zOg9KE5RdiYwpZP40Li/hp/m47n60p8D54WK84zV2sxXs7LtkBoN79R9Q==";

void SetKeys(MemoryPlatform* platform, const std::vector<std::string>& keys) {
  std::string data;
  for (const std::string& key : keys) data += key + '\0';
  platform->SetValue(kPolicyKeyPath, "TrustedKeys", REG_MULTI_SZ, data + '\0');
}

std::string Problem(MemoryPlatform& platform) {
  TrustPolicy policy;
  std::string problem;
  EXPECT_FALSE(ReadTrustPolicy(platform, &policy, &problem));
  return problem;
}

TEST(ParsePinnedKey, BothEncodingsOneId) {
  PinnedKey a, b;
  ASSERT_TRUE(ParsePinnedKey(kPoint, &a));
  ASSERT_TRUE(ParsePinnedKey(kSpki, &b));
  EXPECT_EQ(a.key, b.key);
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.id.rfind("ecdsa-p256:", 0), 0u);
  EXPECT_EQ(a.id.size(), 11u + 16u);
  std::string no_type = std::string(kPoint).substr(11);
  for (const std::string& bad :
       {no_type, "ed25519:" + no_type, std::string("ecdsa-p256:"),
        std::string(kPoint).substr(0, 40), std::string(kPoint) + "="}) {
    EXPECT_FALSE(ParsePinnedKey(bad, &a)) << bad;
  }
}

TEST(ReadTrustPolicy, NoneOneOrMoreKeysAndTheSettings) {
  MemoryPlatform platform;
  TrustPolicy policy;
  std::string problem;
  ASSERT_TRUE(ReadTrustPolicy(platform, &policy, &problem));
  EXPECT_TRUE(policy.keys.empty());
  SetKeys(&platform, {kPoint, "  " + std::string(kSpki) + " ", ""});
  platform.SetValue(kPolicyKeyPath, "RequireExpiry", REG_DWORD,
                    std::string("\x01\0\0\0", 4));
  platform.SetValue(kPolicyKeyPath, "Scope", REG_SZ, std::string("pilot\0", 6));
  platform.SetValue(kPolicyKeyPath, "MinSerial", REG_QWORD,
                    std::string("\x0c\0\0\0\x01\0\0\0", 8));
  ASSERT_TRUE(ReadTrustPolicy(platform, &policy, &problem)) << problem;
  EXPECT_EQ(policy.keys.size(), 2u);
  EXPECT_TRUE(policy.require_expiry);
  EXPECT_EQ(policy.scope, "pilot");
  EXPECT_EQ(policy.min_serial, 0x10000000cu);
  // One key as a plain string, the serial as decimal text.
  platform.SetValue(kPolicyKeyPath, "TrustedKeys", REG_SZ,
                    std::string(kPoint) + '\0');
  platform.SetValue(kPolicyKeyPath, "MinSerial", REG_SZ, "9007199254740992");
  ASSERT_TRUE(ReadTrustPolicy(platform, &policy, &problem)) << problem;
  EXPECT_EQ(policy.keys.size(), 1u);
  EXPECT_EQ(policy.min_serial, 9007199254740992u);
  // Nothing after a REG_SZ's zero, nor after a REG_MULTI_SZ's empty
  // string, is pinned: Windows' own readers never see it.
  platform.SetValue(kPolicyKeyPath, "TrustedKeys", REG_SZ,
                    std::string(kPoint) + '\0' + kSpki + '\0');
  ASSERT_TRUE(ReadTrustPolicy(platform, &policy, &problem)) << problem;
  EXPECT_EQ(policy.keys.size(), 1u);
  SetKeys(&platform, {kPoint, "", kSpki});
  ASSERT_TRUE(ReadTrustPolicy(platform, &policy, &problem)) << problem;
  EXPECT_EQ(policy.keys.size(), 1u);
  SetKeys(&platform, {"", kPoint});
  EXPECT_EQ(Problem(platform), "TrustedKeys holds 0 keys (1 to 4)");
}

// A value that is there but cannot be used stops the run: never unsigned.
TEST(ReadTrustPolicy, UnusableValuesAreProblems) {
  MemoryPlatform platform;
  SetKeys(&platform, {kPoint, "ecdsa-p256:AAAA"});
  EXPECT_EQ(Problem(platform), "not a key: ecdsa-p256:AAAA");
  SetKeys(&platform, {"", " "});
  EXPECT_EQ(Problem(platform), "TrustedKeys holds 0 keys (1 to 4)");
  SetKeys(&platform, {kPoint, kPoint, kSpki, kSpki, kPoint});
  EXPECT_EQ(Problem(platform), "TrustedKeys holds 5 keys (1 to 4)");
  platform.SetValue(kPolicyKeyPath, "TrustedKeys", REG_DWORD, "\1\0\0\0");
  EXPECT_EQ(Problem(platform), "TrustedKeys is no text");
  SetKeys(&platform, {kPoint});
  platform.SetValue(kPolicyKeyPath, "RequireExpiry", REG_DWORD,
                    std::string("\x02\0\0\0", 4));
  EXPECT_EQ(Problem(platform), "RequireExpiry is neither 0 nor 1");
  platform.SetValue(kPolicyKeyPath, "RequireExpiry", REG_DWORD,
                    std::string(4, '\0'));
  platform.SetValue(kPolicyKeyPath, "MinSerial", REG_SZ, "9007199254740993");
  EXPECT_EQ(Problem(platform), "MinSerial is no serial");
  platform.SetValue(kPolicyKeyPath, "MinSerial", REG_SZ, "1");
  // A threshold that no signing could meet refuses the policy, not every
  // patch for ever.
  SetKeys(&platform, {kPoint, kSpki});
  for (const std::string& threshold :
       {std::string("\0\0\0\0", 4), std::string("\x03\0\0\0", 4),
        std::string("\x05\0\0\0", 4), std::string("\x02\0\0\0\x01", 5)}) {
    platform.SetValue(kPolicyKeyPath, "Threshold", REG_DWORD, threshold);
    EXPECT_EQ(Problem(platform), "Threshold is not 1 to the 2 keys pinned");
  }
  platform.SetValue(kPolicyKeyPath, "Threshold", REG_SZ, "2");
  EXPECT_EQ(Problem(platform), "Threshold is not 1 to the 2 keys pinned");
  platform.SetValue(kPolicyKeyPath, "Threshold", REG_DWORD,
                    std::string("\x02\0\0\0", 4));
  TrustPolicy policy;
  std::string problem;
  ASSERT_TRUE(ReadTrustPolicy(platform, &policy, &problem)) << problem;
  EXPECT_EQ(policy.threshold, 2u);
}

// HKLM's native view only: the user's hive, and a 32-bit build's own view,
// have no say.
TEST(ReadTrustPolicy, ReadsTheMachinesNativeView) {
  MemoryPlatform memory;
  HookedPlatform platform(&memory);
  platform.hook.RegOpenKeyExA = [&](HKEY root, LPCSTR key, DWORD options,
                                    REGSAM sam, PHKEY result) {
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_STREQ(key, kPolicyKeyPath);
    EXPECT_EQ(sam, KEY_READ | KEY_WOW64_64KEY);
    return memory.RegOpenKeyExA(root, key, options, sam, result);
  };
  TrustPolicy policy;
  std::string problem;
  EXPECT_TRUE(ReadTrustPolicy(platform, &policy, &problem));
  EXPECT_EQ(platform.calls(Op::kRegOpenKeyExA), 1);
}

// The header and serial checks of a signed manifest, in their order.
class SignedPatchTest : public ::testing::Test {
 protected:
  SignedPatchTest() {
    PinnedKey key;
    EXPECT_TRUE(ParsePinnedKey(kPoint, &key));
    policy_.keys.push_back(key);
  }
  // The verdict on a manifest with this [patch] header, [sha256] and [size].
  std::string Judge(const std::string& header, const StoredSerials& stored = {},
                    const std::string& sums = "a.dll=" + std::string(64, 'a'),
                    const std::string& sizes = "a.dll=12") {
    MemoryPlatform platform;
    platform.Put("C:\\p\\ksmodules.ver", "[patch]\n" + header +
                                             "\n[modules]\na.dll=5\n"
                                             "[sha256]\n" +
                                             sums + "\n[size]\n" + sizes +
                                             "\n");
    const PatchManifest manifest(platform, "C:\\p\\ksmodules.ver");
    TrustedPatch patch;
    patch.manifest = digest_;
    TrustRefusal refusal{"", ""};
    if (JudgeSignedPatch(policy_, manifest, {"a.dll"}, stored, now_, &patch,
                         &refusal)) {
      return "serial " + std::to_string(patch.serial) +
             (patch.downgrade ? ", downgrade" : "");
    }
    return std::string(refusal.word) + ": " + refusal.detail;
  }

  TrustPolicy policy_;
  Sha256Digest digest_{};
  // 2026-12-10T00:00:00Z.
  UtcSeconds now_ = 1796860800;
};

TEST_F(SignedPatchTest, HeaderChecks) {
  EXPECT_EQ(Judge("serial=7"), "serial 7");
  EXPECT_EQ(Judge("serial=9007199254740992"), "serial 9007199254740992");
  EXPECT_EQ(Judge(""), "no header: no serial in [patch]");
  EXPECT_EQ(Judge("serial=-1"), "malformed header: serial -1");
  EXPECT_EQ(Judge("serial=9007199254740993"),
            "malformed header: serial 9007199254740993");
  EXPECT_EQ(Judge("serial=1\nexpires=2026-12-10"),
            "malformed header: expires 2026-12-10");
  EXPECT_EQ(Judge("serial=1\nexpires=2026-02-30T00:00:00Z"),
            "malformed header: expires 2026-02-30T00:00:00Z");
  // Past its expiry by the skew and a second more, not before.
  EXPECT_EQ(Judge("serial=1\nexpires=2026-12-09T00:00:00Z"), "serial 1");
  EXPECT_EQ(Judge("serial=1\nexpires=2026-12-08T23:59:59Z"),
            "expired: expired 2026-12-08T23:59:59Z");
  policy_.require_expiry = true;
  EXPECT_EQ(Judge("serial=1"), "no expiry: no expires in [patch]");
  EXPECT_EQ(Judge("serial=1\nexpires=2028-02-29T12:00:00Z"), "serial 1");
  policy_.scope = "pilot";
  EXPECT_EQ(Judge("serial=1\nexpires=2028-01-01T00:00:00Z\nscope=pilot"),
            "serial 1");
  EXPECT_EQ(Judge("serial=1\nexpires=2028-01-01T00:00:00Z"),
            "scope: scope , not pilot");
  // downgrade= is "yes", "no" or nothing.
  policy_.scope.reset();
  policy_.require_expiry = false;
  EXPECT_EQ(Judge("serial=1\ndowngrade=yes"), "serial 1, downgrade");
  EXPECT_EQ(Judge("serial=1\ndowngrade=no"), "serial 1");
  EXPECT_EQ(Judge("serial=1\ndowngrade=Yes"),
            "malformed header: downgrade Yes");
  policy_.require_expiry = true;
  policy_.scope = "pilot";
  // Compared whole, however long: never by the start of a longer one.
  const std::string ring(300, 'r');
  policy_.scope = ring;
  EXPECT_EQ(Judge("serial=1\nexpires=2028-01-01T00:00:00Z\nscope=" + ring),
            "serial 1");
  EXPECT_EQ(
      Judge("serial=1\nexpires=2028-01-01T00:00:00Z\nscope=" + ring + "-other"),
      "scope: scope " + ring + "-other, not " + ring);
  policy_.scope = ring.substr(0, 127);
  EXPECT_EQ(Judge("serial=1\nexpires=2028-01-01T00:00:00Z\nscope=" + ring),
            "scope: scope " + ring + ", not " + ring.substr(0, 127));
}

// Expiry where 32-bit time ends: each date as the clock's "now" against
// each as "expires". 'x': refused as expired (past it by more than a day).
TEST_F(SignedPatchTest, ExpiryPastThirtyTwoBits) {
  const char* const kDates[] = {"2037-12-31T23:59:59Z", "2038-01-19T03:14:07Z",
                                "2038-01-19T03:14:08Z", "2095-01-01T00:00:00Z",
                                "2106-02-07T06:28:16Z", "2106-02-08T00:00:00Z",
                                "2200-01-01T00:00:00Z", "9999-12-31T23:59:59Z"};
  // A row a "now", a column an "expires", in the order above.
  const char* const kExpired[] = {
      "........",  //
      "x.......",  //
      "x.......",  // one second past 03:14:07 is inside the day's grace
      "xxx.....",  //
      "xxxx....",  //
      "xxxx....",  // under a day past 2106-02-07T06:28:16Z
      "xxxxxx..",  //
      "xxxxxxx.",
  };
  for (size_t now = 0; now < 8; ++now) {
    ASSERT_TRUE(ParseUtc(kDates[now], &now_));
    for (size_t expires = 0; expires < 8; ++expires) {
      const std::string header =
          "serial=1\nexpires=" + std::string(kDates[expires]);
      EXPECT_EQ(Judge(header),
                kExpired[now][expires] == 'x'
                    ? "expired: expired " + std::string(kDates[expires])
                    : "serial 1")
          << "now " << kDates[now];
    }
  }
}

TEST_F(SignedPatchTest, ChecksumsAndSerials) {
  EXPECT_EQ(Judge("serial=7", {}, "b.dll=" + std::string(64, 'b')),
            "no checksum: no checksum for a.dll");
  EXPECT_EQ(Judge("serial=7", {}, "a.dll=abc"),
            "no checksum: no checksum for a.dll");
  // A size is required too: decimal digits in 64 bits, nothing else.
  for (const char* size : {"b.dll=12", "a.dll=", "a.dll=-1", "a.dll=1 2",
                           "a.dll=0x10", "a.dll=18446744073709551616"}) {
    EXPECT_EQ(Judge("serial=7", {}, "a.dll=" + std::string(64, 'a'), size),
              "no size: no size for a.dll")
        << size;
  }
  EXPECT_EQ(Judge("serial=7", {}, "a.dll=" + std::string(64, 'a'),
                  "a.dll=18446744073709551615"),
            "serial 7");
  policy_.min_serial = 8;
  EXPECT_EQ(Judge("serial=7"), "below MinSerial: serial 7 below 8");
  policy_.min_serial = 0;
  StoredSerials stored{{{7, digest_}}, ""};
  EXPECT_EQ(Judge("serial=7", stored), "serial 7");
  EXPECT_EQ(Judge("serial=8", stored), "serial 8");
  EXPECT_EQ(Judge("serial=6", stored),
            "older serial: serial 6 below the "
            "installed 7");
  stored.kept[0].manifest.bytes[0] = 1;
  EXPECT_EQ(Judge("serial=7", stored),
            "serial reused: serial 7 installed from another manifest");
}

// One floor across the keys pinned now: another key's serial 11 bars this
// one's 5 (a rollback by the other key of a rotation), and an entry that
// cannot be read is never taken for none.
TEST_F(SignedPatchTest, OneFloorAcrossKeys) {
  Sha256Digest other{};
  other.bytes[0] = 9;
  StoredSerials stored{{{5, digest_}, {11, other}}, ""};
  EXPECT_EQ(Judge("serial=5", stored),
            "older serial: serial 5 below the installed 11");
  EXPECT_EQ(Judge("serial=11", stored),
            "serial reused: serial 11 installed from another manifest");
  EXPECT_EQ(Judge("serial=12", stored), "serial 12");
  // The same manifest kept for two keys (a rotation's overlap): a rerun.
  stored.kept.push_back({11, digest_});
  EXPECT_EQ(Judge("serial=11", stored), "serial 11");
  stored.unreadable = "ecdsa-p256:0123456789abcdef";
  EXPECT_EQ(Judge("serial=12", stored),
            "serial unreadable: the serial kept for "
            "ecdsa-p256:0123456789abcdef cannot be read");
}

TEST(StoredSerial, KeptOnceAndReadBack) {
  MemoryPlatform platform;
  platform.MakeDir("C:\\Client\\bin");
  const std::string client_ver = "C:\\Client\\bin\\client.ver";
  TrustPolicy policy;
  policy.keys.resize(2);
  ASSERT_TRUE(ParsePinnedKey(kPoint, &policy.keys[0]));
  StoredSerial kept;
  EXPECT_EQ(ReadStoredSerial(platform, client_ver, policy.keys[0], &kept),
            StoredRead::kNone);
  TrustedPatch patch;
  patch.serial = 12;
  patch.manifest.bytes[31] = 0xab;
  ASSERT_TRUE(StoreSerial(platform, client_ver, policy.keys[0], patch));
  ASSERT_TRUE(StoreSerial(platform, client_ver, policy.keys[0], patch));
  EXPECT_EQ(platform.writes(client_ver), 1);
  ASSERT_EQ(ReadStoredSerial(platform, client_ver, policy.keys[0], &kept),
            StoredRead::kKept);
  EXPECT_EQ(kept.serial, 12u);
  EXPECT_EQ(kept.manifest, patch.manifest);
  // Every pinned key's entry is read, and only theirs.
  policy.keys[1] = policy.keys[0];
  policy.keys[1].id = "ecdsa-p256:0123456789abcdef";
  platform.Put(client_ver, platform.Get(client_ver) +
                               "ecdsa-p256:0123456789abcdef=10 xyz\r\n"
                               "ecdsa-p256:ffffffffffffffff=99 " +
                               Sha256Hex(patch.manifest) + "\r\n");
  const StoredSerials stored = ReadStoredSerials(platform, client_ver, policy);
  ASSERT_EQ(stored.kept.size(), 1u);
  EXPECT_EQ(stored.kept[0].serial, 12u);
  EXPECT_EQ(stored.unreadable, "ecdsa-p256:0123456789abcdef");
}

// The value of `key` in tests/data/manifest_format.json, the statement of
// the manifest's names and bounds that the patch scripts take their
// sections from and are held to.
std::string FormatValue(const std::string& key) {
  return DataValue("manifest_format.json", key);
}

// What the program reads of a manifest is what the statement says, so
// that the patch scripts, checked against the same statement, write and
// check what clients read.
TEST(ManifestFormatTest, IsWhatTheStatementSays) {
  EXPECT_EQ(FormatValue("manifest"), kSourceManifestName);
  EXPECT_EQ(FormatValue("installed_manifest"), kInstalledManifestName);
  // Each section by what it is for, in order: a section that only one of
  // them names, or that they name differently, fails here.
  std::vector<std::string> sections;
  for (const ManifestSection& section : kManifestSections) {
    sections.insert(sections.end(), {section.role, section.name});
  }
  EXPECT_EQ(QuotedTexts(FormatValue("sections")), sections);
  EXPECT_EQ(FormatValue("serial_section"), kSerialSection);
  EXPECT_EQ(
      QuotedTexts(FormatValue("header_keys")),
      std::vector<std::string>(std::begin(kHeaderKeys), std::end(kHeaderKeys)));
  EXPECT_EQ(QuotedTexts(FormatValue("downgrade_values")),
            std::vector<std::string>(std::begin(kDowngradeValues),
                                     std::end(kDowngradeValues)));
  EXPECT_EQ(FormatValue("max_serial"), std::to_string(kMaxSerial));
  std::vector<std::string> signatures;
  for (int n = 1; n <= kMaxSignatureFiles; ++n) {
    signatures.push_back(SignatureFileName(n));
  }
  EXPECT_EQ(QuotedTexts(FormatValue("signature_files")), signatures);
  EXPECT_EQ(FormatValue("max_signature_bytes"),
            std::to_string(kMaxSignatureBytes));
}

}  // namespace
}  // namespace ks
