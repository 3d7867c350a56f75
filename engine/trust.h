// Who may update this client: the publisher's keys, pinned in the
// machine's policy, and the signed patch manifest they vouch for.
//
// With no key pinned nothing here changes a run. With one, a patch is
// installed only when its manifest's exact bytes carry signatures by as many
// pinned keys as the policy's threshold (ksmodules.ver.sig beside it, and
// ksmodules.ver.sig2 to .sig4 for more), its [patch] header is sound
// (serial, expiry, scope), every module it lists has a checksum, and its
// serial does not go back on what this installation accepted before.
#ifndef KSUPDATE_ENGINE_TRUST_H_
#define KSUPDATE_ENGINE_TRUST_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/manifests.h"
#include "engine/run_inputs.h"
#include "platform/ecdsa.h"
#include "platform/platform.h"
#include "platform/utc_time.h"

namespace ks {

// The policy key, under HKEY_LOCAL_MACHINE in the native view, which Group
// Policy, Intune or the client's installer writes: "TrustedKeys" (one key
// a string, REG_MULTI_SZ or REG_SZ), "RequireExpiry" (REG_DWORD 1),
// "Scope" (REG_SZ), "MinSerial" (REG_DWORD, REG_QWORD or decimal REG_SZ),
// "Threshold" (REG_DWORD 1 to 4, and no more than the keys pinned).
extern const char kPolicyKeyPath[];
// The first signature's file: the manifest's name and this. The others add
// their number: ".sig2" to ".sig4".
extern const char kSignatureSuffix[];
constexpr int kMaxSignatureFiles = 4;
// The name of the signature file `n` (1 to kMaxSignatureFiles).
std::string SignatureFileName(int n);
// client.ver's section of the serials accepted so far (the manifest's
// header is kPatchSection).
extern const char kSerialSection[];
// The header's keys, in that order: its serial (decimal digits, at most
// kMaxSerial), when it expires, the scope it is for, and whether it may
// take a module back to an older version (one of kDowngradeValues).
extern const char* const kHeaderKeys[4];
extern const char* const kDowngradeValues[2];
constexpr std::uint64_t kMaxSerial = std::uint64_t{1} << 53;
// The most bytes a signature file may have (DER takes at most 72, r||s 64).
constexpr DWORD kMaxSignatureBytes = 256;

// A pinned key: its type (only "ecdsa-p256" so far, chosen by the pinned
// key and never by the signature) and the key.
struct PinnedKey {
  std::string type;
  P256PublicKey key;
  // "ecdsa-p256:" and 16 hex digits of the SHA-256 of its uncompressed
  // point: how client.ver and the result file name it.
  std::string id;
};

struct TrustPolicy {
  std::vector<PinnedKey> keys;  // none: verification is off
  bool require_expiry = false;
  std::optional<std::string> scope;
  std::uint64_t min_serial = 0;
  // How many distinct pinned keys must have signed.
  std::uint32_t threshold = 1;
};

// One pinned key from its line, "ecdsa-p256:" and the base64 of its
// SubjectPublicKeyInfo DER or of its 65-byte uncompressed point; false for
// anything else (another type, bad base64, a point not on the curve).
bool ParsePinnedKey(const std::string& line, PinnedKey* key);

// Reads the policy through `platform`. True with *policy (no key at all
// when there is no key or no TrustedKeys value). False, with what is wrong
// in *problem, when a value is there but unusable: a line that is no key,
// none or more than four keys, another value of a type or text it cannot
// have, or a key that cannot be read at all. The run must then stop: it
// never falls back to unsigned.
bool ReadTrustPolicy(Platform& platform, TrustPolicy* policy,
                     std::string* problem);

// The serial that client.ver keeps for a key: the highest accepted so far
// and the SHA-256 of that manifest's bytes.
struct StoredSerial {
  std::uint64_t serial = 0;
  Sha256Digest manifest;
};

// What client.ver keeps for the keys pinned now (an entry of a key no
// longer pinned has no say): every entry read, and the id of the first key
// whose entry is there but cannot be read.
struct StoredSerials {
  std::vector<StoredSerial> kept;
  std::string unreadable;  // empty when every entry was read
};

// Why a patch is not trusted. `word` goes to the result file, `detail` to
// the trace.
struct TrustRefusal {
  const char* word;
  std::string detail;
};

// What was found of a patch that pinned keys vouch for.
struct TrustedPatch {
  // The keys of policy.keys that signed it, in the policy's order.
  std::vector<size_t> signers;
  std::uint64_t serial = 0;
  Sha256Digest manifest;   // the SHA-256 of its bytes
  bool downgrade = false;  // its header says downgrade=yes
};

// How long after its expiry a manifest is still taken: a start-up script
// may run before the clock is synchronised, or with the time zone taken
// for UTC.
constexpr UtcSeconds kExpirySkewSeconds = UtcSeconds{24} * 60 * 60;

// Whether `signatures` (the signature files' bytes, null for each file that
// is missing), each 8 to 256 bytes of DER or raw r||s, are by at least
// policy.threshold distinct keys of `policy` over the exact bytes of
// `manifest`: true with patch->signers and patch->manifest (the bytes'
// SHA-256), or false with *refusal (a file there that holds no signature
// is refused, whatever the others hold).
bool JudgeSignature(const TrustPolicy& policy, const PatchManifest& manifest,
                    const std::vector<const std::string*>& signatures,
                    TrustedPatch* patch, TrustRefusal* refusal);

// What a signed manifest must also be, in this order: a [patch] header
// with serial= (decimal, at most 2^53), expires= ("YYYY-MM-DDTHH:MM:SSZ",
// UTC; required when the policy says so; refused once `now` is past it by
// more than kExpirySkewSeconds), scope= (equal to the policy's Scope
// when that is set) and downgrade= ("yes", "no" or none: patch->downgrade); a
// valid checksum and size for every one of `names`; a serial at least
// MinSerial; every entry of `stored` readable; and one floor for every key
// pinned now: not lower than the highest serial `stored` keeps, whichever key
// it came by, and not the same with other bytes (the same with the same bytes
// is a rerun). True with patch->serial and patch->downgrade, or false with
// *refusal.
bool JudgeSignedPatch(const TrustPolicy& policy, const PatchManifest& manifest,
                      const std::vector<std::string>& names,
                      const StoredSerials& stored, UtcSeconds now,
                      TrustedPatch* patch, TrustRefusal* refusal);

// What client.ver's entry for a key is.
enum class StoredRead {
  kNone,        // no file, section or entry
  kKept,        // "SERIAL SHA256", in *stored
  kUnreadable,  // anything else: never taken for none, never overwritten
};

// The serial client.ver at `client_ver` keeps for `key`, read through
// `platform`.
StoredRead ReadStoredSerial(Platform& platform, const std::string& client_ver,
                            const PinnedKey& key, StoredSerial* stored);

// The serials client.ver keeps for every key of `policy`.
StoredSerials ReadStoredSerials(Platform& platform,
                                const std::string& client_ver,
                                const TrustPolicy& policy);

// Keeps `patch`'s serial for its key in client.ver (the profile write's
// atomic replace), unless it is kept already. False when it cannot be.
bool StoreSerial(Platform& platform, const std::string& client_ver,
                 const PinnedKey& key, const TrustedPatch& patch);

// The first half of the trust of the run's patch under `policy` (which pins
// keys), before anything in the manifest is parsed: reads the signature
// files beside it (ReadFileBytes) and judges them (JudgeSignature). True
// with patch->signers and patch->manifest; false, with the verdict noted in
// the report and said in one trace line, when the run must copy and record
// nothing.
bool VerifySignature(Platform& platform, const RunInputs& inputs,
                     const TrustPolicy& policy, const PatchManifest& manifest,
                     TrustedPatch* patch);

// The second half, once `names` are read from the signed manifest: reads
// the serials client.ver keeps and judges the header (JudgeSignedPatch at
// inputs.now), notes the verdict in the report, and says a refusal in one
// trace line. Then, unless the run is a what-if one or has no installation,
// keeps the serial in client.ver for each key that signed, before any copy.
// False when the run must copy and record nothing. *downgrade: a trusted
// patch's header says downgrade=yes.
bool VerifyPatch(Platform& platform, const RunInputs& inputs,
                 const TrustPolicy& policy, const PatchManifest& manifest,
                 const std::vector<std::string>& names, TrustedPatch* patch,
                 bool* downgrade);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_TRUST_H_
