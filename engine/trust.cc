#include "engine/trust.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "engine/locations.h"
#include "engine/run_report.h"
#include "trace/trace.h"

namespace ks {

const char kPolicyKeyPath[] =
    "SOFTWARE\\Policies\\Kestrova\\Plennet Groupware 6.5\\ksupdate";
const char kSignatureSuffix[] = ".sig";
const char kSerialSection[] = "signed patches";
const char* const kHeaderKeys[4] = {"serial", "expires", "scope", "downgrade"};
const char* const kDowngradeValues[2] = {"yes", "no"};

std::string SignatureFileName(int n) {
  return std::string(kSourceManifestName) + kSignatureSuffix +
         (n > 1 ? std::to_string(n) : std::string());
}

namespace {

constexpr char kP256Type[] = "ecdsa-p256";
constexpr size_t kMaxPinnedKeys = 4;
constexpr DWORD kHeaderBufferSize = 128;

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A serial: decimal digits only, at most 2^53.
bool ParseSerial(const std::string& text, std::uint64_t* serial) {
  if (text.empty() || text.size() > 16) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > kMaxSerial) return false;
  *serial = value;
  return true;
}

// A policy value other than the keys: ERROR_SUCCESS with its type and
// bytes, or nothing (false with *missing) when it is not there.
bool PolicyValue(Platform& platform, const char* name, DWORD* type,
                 std::string* data, bool* missing, std::string* problem) {
  const LONG status =
      ReadRegistryValue(platform, HKEY_LOCAL_MACHINE, kPolicyKeyPath, name,
                        KEY_WOW64_64KEY, type, data);
  *missing = status == ERROR_FILE_NOT_FOUND;
  if (status == ERROR_SUCCESS || *missing) return true;
  *problem = std::string(name) + " cannot be read (error " +
             std::to_string(status) + ")";
  return false;
}

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

bool ReadKeys(Platform& platform, TrustPolicy* policy, std::string* problem) {
  DWORD type = REG_NONE;
  std::string data;
  bool missing = false;
  if (!PolicyValue(platform, "TrustedKeys", &type, &data, &missing, problem)) {
    return false;
  }
  if (missing) return true;
  if (type != REG_MULTI_SZ && !IsText(type)) {
    *problem = "TrustedKeys is no text";
    return false;
  }
  // A REG_SZ ends at its first zero, and a REG_MULTI_SZ at its first empty
  // string, as Windows reads them: nothing hidden behind either is a key.
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\0', start);
    if (end == std::string::npos) end = data.size();
    if (end == start) break;
    const std::string line = Trimmed(data.substr(start, end - start));
    start = type == REG_MULTI_SZ ? end + 1 : data.size();
    if (line.empty()) continue;
    PinnedKey key;
    if (!ParsePinnedKey(line, &key)) {
      *problem = "not a key: " + line.substr(0, 40);
      return false;
    }
    policy->keys.push_back(key);
  }
  if (policy->keys.empty() || policy->keys.size() > kMaxPinnedKeys) {
    *problem = "TrustedKeys holds " + std::to_string(policy->keys.size()) +
               " keys (1 to 4)";
    return false;
  }
  return true;
}

// The number that a REG_DWORD, REG_QWORD or decimal text gives.
bool PolicyNumber(DWORD type, const std::string& data, std::uint64_t* value) {
  if ((type == REG_DWORD && data.size() == 4) ||
      (type == REG_QWORD && data.size() == 8)) {
    *value = 0;
    for (size_t i = data.size(); i-- > 0;) {
      *value = (*value << 8) | static_cast<unsigned char>(data[i]);
    }
    return true;
  }
  return IsText(type) && ParseSerial(Trimmed(data.c_str()), value);
}

bool ReadSettings(Platform& platform, TrustPolicy* policy,
                  std::string* problem) {
  DWORD type = REG_NONE;
  std::string data;
  bool missing = false;
  std::uint64_t number = 0;
  if (!PolicyValue(platform, "RequireExpiry", &type, &data, &missing,
                   problem)) {
    return false;
  }
  if (!missing) {
    if (type != REG_DWORD || !PolicyNumber(type, data, &number) || number > 1) {
      *problem = "RequireExpiry is neither 0 nor 1";
      return false;
    }
    policy->require_expiry = number == 1;
  }
  if (!PolicyValue(platform, "Scope", &type, &data, &missing, problem)) {
    return false;
  }
  if (!missing) {
    if (!IsText(type)) {
      *problem = "Scope is no text";
      return false;
    }
    const std::string scope = data.c_str();
    if (!scope.empty()) policy->scope = scope;
  }
  if (!PolicyValue(platform, "MinSerial", &type, &data, &missing, problem)) {
    return false;
  }
  if (!missing) {
    if (!PolicyNumber(type, data, &policy->min_serial) ||
        policy->min_serial > kMaxSerial) {
      *problem = "MinSerial is no serial";
      return false;
    }
  }
  if (!PolicyValue(platform, "Threshold", &type, &data, &missing, problem)) {
    return false;
  }
  if (!missing) {
    // One no signing could meet would refuse every patch for ever: said
    // now, as the policy's fault.
    if (type != REG_DWORD || !PolicyNumber(type, data, &number) || number < 1 ||
        number > kMaxPinnedKeys || number > policy->keys.size()) {
      *problem = "Threshold is not 1 to the " +
                 std::to_string(policy->keys.size()) + " keys pinned";
      return false;
    }
    policy->threshold = static_cast<std::uint32_t>(number);
  }
  return true;
}

bool Refuse(TrustRefusal* refusal, const char* word, std::string detail) {
  refusal->word = word;
  refusal->detail = std::move(detail);
  return false;
}

// The [patch] header's three entries ("" for one that is not there).
struct HeaderText {
  std::string serial;
  std::string expires;
  std::string scope;
  std::string downgrade;
};

// A value of [patch], read whole however long: one cut at a buffer would
// match any longer value that begins with it.
std::string HeaderValue(const PatchManifest& manifest, const char* key) {
  std::vector<char> buffer(kHeaderBufferSize);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD got =
        manifest.GetString(kPatchSection, key, "", buffer.data(), size);
    // No value is longer than the manifest it is in.
    if (got + 1 < size || buffer.size() > manifest.bytes().size()) {
      return std::string(buffer.data(), std::min(got, size - 1));
    }
    buffer.resize(buffer.size() * 2);
  }
}

HeaderText ReadHeader(const PatchManifest& manifest) {
  HeaderText header;
  header.serial = HeaderValue(manifest, kHeaderKeys[0]);
  header.expires = HeaderValue(manifest, kHeaderKeys[1]);
  header.scope = HeaderValue(manifest, kHeaderKeys[2]);
  header.downgrade = HeaderValue(manifest, kHeaderKeys[3]);
  return header;
}

// Whether the key `k` of the policy signed the manifest's bytes with one
// of `signatures`.
bool Signed(const TrustPolicy& policy, size_t k, const Sha256Digest& digest,
            const std::vector<P256Signature>& signatures) {
  // The pinned key's type says how to verify, never the signature file.
  if (policy.keys[k].type != kP256Type) return false;
  return std::any_of(signatures.begin(), signatures.end(),
                     [&](const P256Signature& signature) {
                       return VerifyP256(policy.keys[k].key, digest, signature);
                     });
}

// The header's checks, after the signature's.
bool CheckHeader(const TrustPolicy& policy, const HeaderText& header,
                 UtcSeconds now, TrustedPatch* patch, TrustRefusal* refusal) {
  std::uint64_t* serial = &patch->serial;
  if (header.serial.empty()) {
    return Refuse(refusal, "no header", "no serial in [patch]");
  }
  if (!ParseSerial(header.serial, serial)) {
    return Refuse(refusal, "malformed header", "serial " + header.serial);
  }
  UtcSeconds expires = 0;
  if (!header.expires.empty() && !ParseUtc(header.expires, &expires)) {
    return Refuse(refusal, "malformed header", "expires " + header.expires);
  }
  if (header.expires.empty() && policy.require_expiry) {
    return Refuse(refusal, "no expiry", "no expires in [patch]");
  }
  if (!header.expires.empty() && now > expires &&
      now - expires > kExpirySkewSeconds) {
    return Refuse(refusal, "expired", "expired " + header.expires);
  }
  if (policy.scope && header.scope != *policy.scope) {
    return Refuse(refusal, "scope",
                  "scope " + header.scope + ", not " + *policy.scope);
  }
  // Only "yes" downgrades; a value that says anything else is a mistake
  // the publisher must hear of, not a "no".
  if (!header.downgrade.empty() && header.downgrade != kDowngradeValues[0] &&
      header.downgrade != kDowngradeValues[1]) {
    return Refuse(refusal, "malformed header", "downgrade " + header.downgrade);
  }
  patch->downgrade = header.downgrade == kDowngradeValues[0];
  return true;
}

}  // namespace

bool ParsePinnedKey(const std::string& line, PinnedKey* key) {
  const std::string prefix = std::string(kP256Type) + ":";
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  std::string bytes;
  PinnedKey parsed;
  if (!DecodeBase64(line.substr(prefix.size()), &bytes) ||
      !ParseP256PublicKey(bytes, &parsed.key)) {
    return false;
  }
  parsed.type = kP256Type;
  Sha256 hash;
  const unsigned char uncompressed = 0x04;
  hash.Update(&uncompressed, 1);
  hash.Update(parsed.key.xy.data(), parsed.key.xy.size());
  Sha256Digest digest;
  if (!hash.Finish(&digest)) return false;
  parsed.id = parsed.type + ":" + Sha256Hex(digest).substr(0, 16);
  *key = parsed;
  return true;
}

bool ReadTrustPolicy(Platform& platform, TrustPolicy* policy,
                     std::string* problem) {
  *policy = TrustPolicy();
  if (!ReadKeys(platform, policy, problem)) return false;
  if (policy->keys.empty()) return true;
  return ReadSettings(platform, policy, problem);
}

bool JudgeSignature(const TrustPolicy& policy, const PatchManifest& manifest,
                    const std::vector<const std::string*>& signatures,
                    TrustedPatch* patch, TrustRefusal* refusal) {
  std::vector<P256Signature> parsed;
  for (size_t n = 0; n < signatures.size(); ++n) {
    const std::string* signature = signatures[n];
    if (signature == nullptr) continue;
    const std::vector<P256Signature> read = ParseP256Signatures(*signature);
    if (read.empty()) {
      return Refuse(
          refusal, "malformed signature",
          (n == 0 ? std::string() : SignatureFileName(int(n) + 1) + ": ") +
              std::to_string(signature->size()) +
              " bytes that are no signature");
    }
    parsed.insert(parsed.end(), read.begin(), read.end());
  }
  if (parsed.empty()) {
    return Refuse(refusal, "no signature", "no " + SignatureFileName(1));
  }
  Sha256 hash;
  hash.Update(manifest.bytes().data(), manifest.bytes().size());
  patch->signers.clear();
  if (hash.Finish(&patch->manifest)) {
    // Each key counts once, however many files it signed.
    for (size_t k = 0; k < policy.keys.size(); ++k) {
      if (Signed(policy, k, patch->manifest, parsed)) {
        patch->signers.push_back(k);
      }
    }
  }
  if (patch->signers.empty()) {
    return Refuse(refusal, "not signed",
                  "not signed by a pinned key, or changed since");
  }
  if (patch->signers.size() < policy.threshold) {
    return Refuse(refusal, "too few signers",
                  "signed by " + std::to_string(patch->signers.size()) +
                      " pinned key(s), " + std::to_string(policy.threshold) +
                      " required");
  }
  return true;
}

bool JudgeSignedPatch(const TrustPolicy& policy, const PatchManifest& manifest,
                      const std::vector<std::string>& names,
                      const StoredSerials& stored, UtcSeconds now,
                      TrustedPatch* patch, TrustRefusal* refusal) {
  if (!CheckHeader(policy, ReadHeader(manifest), now, patch, refusal)) {
    return false;
  }
  for (const std::string& name : names) {
    Sha256Digest digest;
    if (manifest.ReadChecksum(name, &digest) != ModuleChecksum::kValid) {
      return Refuse(refusal, "no checksum", "no checksum for " + name);
    }
    // Without its size, a module could be a file of any size, copied whole
    // before its checksum is known.
    std::uint64_t size = 0;
    if (manifest.ReadSize(name, &size) != ModuleSize::kValid) {
      return Refuse(refusal, "no size", "no size for " + name);
    }
  }
  if (patch->serial < policy.min_serial) {
    return Refuse(refusal, "below MinSerial",
                  "serial " + std::to_string(patch->serial) + " below " +
                      std::to_string(policy.min_serial));
  }
  if (!stored.unreadable.empty()) {
    return Refuse(
        refusal, "serial unreadable",
        "the serial kept for " + stored.unreadable + " cannot be read");
  }
  // One floor, whichever pinned key the serial came by: a patch of one key
  // cannot take back what another's brought.
  std::uint64_t floor = 0;
  for (const StoredSerial& kept : stored.kept) {
    floor = std::max(floor, kept.serial);
  }
  if (!stored.kept.empty() && patch->serial < floor) {
    return Refuse(refusal, "older serial",
                  "serial " + std::to_string(patch->serial) +
                      " below the installed " + std::to_string(floor));
  }
  const bool rerun = std::any_of(
      stored.kept.begin(), stored.kept.end(), [&](const StoredSerial& kept) {
        return kept.serial == patch->serial && kept.manifest == patch->manifest;
      });
  if (!stored.kept.empty() && patch->serial == floor && !rerun) {
    return Refuse(refusal, "serial reused",
                  "serial " + std::to_string(patch->serial) +
                      " installed from another manifest");
  }
  return true;
}

StoredRead ReadStoredSerial(Platform& platform, const std::string& client_ver,
                            const PinnedKey& key, StoredSerial* stored) {
  char buffer[kHeaderBufferSize + 1] = {};
  platform.GetPrivateProfileStringA(kSerialSection, key.id.c_str(), "", buffer,
                                    kHeaderBufferSize, client_ver.c_str());
  const std::string text = buffer;
  if (text.empty()) return StoredRead::kNone;
  const size_t blank = text.find(' ');
  if (blank == std::string::npos ||
      !ParseSerial(text.substr(0, blank), &stored->serial) ||
      !ParseSha256(text.substr(blank + 1), &stored->manifest)) {
    return StoredRead::kUnreadable;
  }
  return StoredRead::kKept;
}

StoredSerials ReadStoredSerials(Platform& platform,
                                const std::string& client_ver,
                                const TrustPolicy& policy) {
  StoredSerials stored;
  for (const PinnedKey& key : policy.keys) {
    StoredSerial kept;
    switch (ReadStoredSerial(platform, client_ver, key, &kept)) {
      case StoredRead::kNone:
        break;
      case StoredRead::kKept:
        stored.kept.push_back(kept);
        break;
      case StoredRead::kUnreadable:
        if (stored.unreadable.empty()) stored.unreadable = key.id;
        break;
    }
  }
  return stored;
}

bool StoreSerial(Platform& platform, const std::string& client_ver,
                 const PinnedKey& key, const TrustedPatch& patch) {
  StoredSerial kept;
  if (ReadStoredSerial(platform, client_ver, key, &kept) == StoredRead::kKept &&
      kept.serial == patch.serial && kept.manifest == patch.manifest) {
    return true;
  }
  const std::string value =
      std::to_string(patch.serial) + " " + Sha256Hex(patch.manifest);
  return platform.WritePrivateProfileStringA(kSerialSection, key.id.c_str(),
                                             value.c_str(),
                                             client_ver.c_str()) != FALSE;
}

namespace {

// Notes the verdict in the report and says a refusal in one trace line.
void NoteVerdict(const RunInputs& inputs, const TrustPolicy& policy,
                 const TrustedPatch* patch, const TrustRefusal& refusal) {
  if (inputs.report != nullptr) {
    TrustRecord& record = inputs.report->trust.emplace();
    record.verified = patch != nullptr;
    if (patch != nullptr) {
      record.key = policy.keys[patch->signers.front()].id;
      record.serial = patch->serial;
    } else {
      record.refused = refusal.word;
    }
  }
  if (patch == nullptr) {
    Trace("    - Patch not trusted : %s -", refusal.detail.c_str());
    return;
  }
  std::string keys;
  for (size_t k : patch->signers) {
    keys += (keys.empty() ? "" : ", ") + policy.keys[k].id;
  }
  NoteInChannel("--- signed by %s, serial %llu", keys.c_str(),
                static_cast<unsigned long long>(patch->serial));
}

// Reads the signature file `n` beside `manifest` into *bytes: true, with
// *bytes null when the file is missing; false with *refusal for one that
// is too large or no plain file.
bool ReadSignatureFile(Platform& platform, const PatchManifest& manifest, int n,
                       std::optional<std::string>* bytes,
                       TrustRefusal* refusal) {
  const std::string name = SignatureFileName(n);
  const std::string path = manifest.path() + kSignatureSuffix +
                           (n > 1 ? std::to_string(n) : std::string());
  std::string read;
  switch (platform.ReadFileBytes(path.c_str(), kMaxSignatureBytes, &read)) {
    case ProfileLoad::kLoaded:
      *bytes = std::move(read);
      return true;
    case ProfileLoad::kMissing:
      bytes->reset();
      return true;
    case ProfileLoad::kTooLarge:
      return Refuse(refusal, "malformed signature",
                    (n == 1 ? std::string() : name + " ") + "larger than " +
                        std::to_string(kMaxSignatureBytes) + " bytes");
    case ProfileLoad::kUnreadable:
      break;
  }
  // A directory, a device or a file that cannot be read: said as such, not
  // as a signature that is missing or too large.
  return Refuse(refusal, "malformed signature",
                name + " is no plain file or unreadable");
}

}  // namespace

bool VerifySignature(Platform& platform, const RunInputs& inputs,
                     const TrustPolicy& policy, const PatchManifest& manifest,
                     TrustedPatch* patch) {
  TrustRefusal refusal{"", ""};
  std::optional<std::string> files[kMaxSignatureFiles];
  std::vector<const std::string*> signatures;
  bool judged = true;
  for (int n = 1; judged && n <= kMaxSignatureFiles; ++n) {
    judged = ReadSignatureFile(platform, manifest, n, &files[n - 1], &refusal);
    signatures.push_back(files[n - 1] ? &*files[n - 1] : nullptr);
  }
  if (judged && JudgeSignature(policy, manifest, signatures, patch, &refusal)) {
    return true;
  }
  NoteVerdict(inputs, policy, nullptr, refusal);
  return false;
}

bool VerifyPatch(Platform& platform, const RunInputs& inputs,
                 const TrustPolicy& policy, const PatchManifest& manifest,
                 const std::vector<std::string>& names, TrustedPatch* patch,
                 bool* downgrade) {
  *downgrade = false;
  std::string client_ver;
  const bool installed = Locations::InstalledFilePath(
      platform, kInstalledManifestName, &client_ver);
  TrustRefusal refusal{"", ""};
  bool trusted = JudgeSignedPatch(
      policy, manifest, names,
      installed ? ReadStoredSerials(platform, client_ver, policy)
                : StoredSerials(),
      inputs.now, patch, &refusal);
  // Kept for every key that signed: retiring one of them leaves the floor
  // where it was.
  for (size_t k = 0;
       trusted && installed && !inputs.what_if && k < patch->signers.size();
       ++k) {
    if (!StoreSerial(platform, client_ver, policy.keys[patch->signers[k]],
                     *patch)) {
      trusted = false;
      refusal = {"serial not kept",
                 "its serial cannot be kept in " + client_ver};
    }
  }
  NoteVerdict(inputs, policy, trusted ? patch : nullptr, refusal);
  *downgrade = trusted && patch->downgrade;
  return trusted;
}

}  // namespace ks
