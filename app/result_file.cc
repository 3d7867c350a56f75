#include "app/result_file.h"

#include <cstdio>

#include "formats/codepage.h"
#include "formats/text.h"
#include "ksupdate_version.h"
#include "platform/platform.h"

namespace ks {

namespace {

// `text` (ANSI) as a JSON string.
std::string Quoted(const std::string& text) {
  std::string json = "\"";
  const std::u16string unicode = AnsiToUnicode(text);
  for (size_t i = 0; i < unicode.size();) {
    const char32_t code = NextUtf16(unicode, &i);
    if (code == '"' || code == '\\') {
      json += '\\';
      json += static_cast<char>(code);
    } else if (code < 0x20 || code == 0x7F || IsSurrogate(code)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x",
                    static_cast<unsigned>(code));
      json += escape;
    } else {
      AppendUtf8(code, &json);
    }
  }
  return json + "\"";
}

std::string OptionalText(const std::optional<std::string>& text) {
  return text ? Quoted(*text) : "null";
}

std::string Time(const std::optional<UtcSeconds>& time) {
  const std::string text = time ? UtcText(*time) : "?";
  return text == "?" ? "null" : "\"" + text + "\"";
}

std::string OddSettings(const std::vector<OddSetting>& odd) {
  std::string json = "[";
  for (size_t i = 0; i < odd.size(); ++i) {
    json += i == 0 ? "" : ", ";
    json += "{\"name\": " + Quoted(odd[i].name) +
            ", \"value\": " + Quoted(odd[i].value) +
            ", \"taken_as\": " + Quoted(odd[i].taken) + "}";
  }
  return json + "]";
}

std::string Reason(const RunReport& report) {
  if (report.end == RunEnd::kCompleted) return "null";
  return "{\"word\": \"" + std::string(RunEndName(report.end)) +
         "\", \"line\": " +
         (report.end_line.empty() ? "null" : Quoted(report.end_line)) + "}";
}

std::string Error(DWORD code, Outputs& outputs) {
  if (code == 0) return "null";
  return "{\"code\": " + std::to_string(code) +
         ", \"message\": " + Quoted(outputs.SystemErrorText(code)) + "}";
}

// The digests of a checksum mismatch; null for any other result.
std::string Checksum(const ModuleRecord& module) {
  if (!module.expected_digest || !module.actual_digest) return "null";
  return "{\"expected\": \"" + Sha256Hex(*module.expected_digest) +
         "\", \"actual\": \"" + Sha256Hex(*module.actual_digest) + "\"}";
}

std::string Trust(const std::optional<TrustRecord>& trust) {
  if (!trust) return "null";
  std::string json = "{\"verified\": ";
  json += trust->verified ? "true" : "false";
  json += ", \"key\": " +
          (trust->key.empty() ? std::string("null") : Quoted(trust->key));
  json += ", \"serial\": " +
          (trust->serial ? std::to_string(*trust->serial) : "null");
  json += ", \"refused\": " + (trust->refused.empty() ? std::string("null")
                                                      : Quoted(trust->refused));
  return json + "}";
}

}  // namespace

const char* OutcomeName(DWORD outcome) {
  switch (outcome) {
    case msi::kSuccess:
      return "success";
    case msi::kWouldChange:
      return "would change";
    case msi::kRestartRequired:
      return "restart required";
    case msi::kNoInstallation:
      return "no installation";
    case msi::kNoSource:
      return "no source";
    case msi::kBusy:
      return "busy";
    case msi::kInvalidPatch:
      return "invalid patch";
    default:
      return "failure";
  }
}

EventKind RunEventKind(DWORD outcome) {
  switch (outcome) {
    case msi::kSuccess:
    case msi::kWouldChange:
      return EventKind::kInformation;
    case msi::kRestartRequired:
      return EventKind::kWarning;
    default:
      return EventKind::kError;
  }
}

std::vector<std::string> RunEventLines(const ResultHeader& header,
                                       const RunReport& report) {
  // Far below ReportEvent's 32K characters a string, and readable; an
  // argument may itself take 32K.
  constexpr size_t kMaxChars = 16000;
  constexpr size_t kMaxArgumentChars = 2000;
  const DWORD outcome = report.Outcome();
  std::vector<std::string> lines = {
      "ksupdate " KSUPDATE_VERSION ": " + std::string(OutcomeName(outcome)) +
          " (" + std::to_string(outcome) + "), exit status " +
          std::to_string(header.exit_status),
      "Argument: " + header.argument.substr(0, kMaxArgumentChars)};
  if (report.end != RunEnd::kCompleted) {
    lines.push_back("Reason: " + std::string(RunEndName(report.end)) +
                    (report.end_line.empty() ? "" : ": " + report.end_line));
  }
  size_t chars = 0;
  for (const std::string& line : lines) chars += line.size() + 2;
  size_t current = 0;
  size_t left_out = 0;
  for (const ModuleRecord& module : report.modules) {
    if (module.result == ModuleResult::kCurrent) {
      ++current;
      continue;
    }
    std::string line = module.name + ": " + ModuleResultName(module.result);
    if (module.installed_before || module.installed_after) {
      line += ", " + module.installed_before.value_or("none") + " -> " +
              module.installed_after.value_or("none");
    }
    if (module.error != 0) line += ", error " + std::to_string(module.error);
    chars += line.size() + 2;
    if (chars > kMaxChars) {
      ++left_out;
    } else {
      lines.push_back(std::move(line));
    }
  }
  if (left_out != 0) {
    lines.push_back(std::to_string(left_out) + " more modules not shown");
  }
  if (current != 0) {
    lines.push_back(std::to_string(current) + " modules current");
  }
  return lines;
}

RunEvent RunEventOf(const ResultHeader& header, const RunReport& report) {
  const DWORD outcome = report.Outcome();
  RunEvent event;
  event.kind = RunEventKind(outcome);
  event.id = outcome;
  event.lines = RunEventLines(header, report);
  size_t copied = 0;
  size_t failed = 0;
  for (const ModuleRecord& module : report.modules) {
    copied += module.result == ModuleResult::kCopied ||
              module.result == ModuleResult::kRepaired;
    failed += IsFailure(module.result);
  }
  event.fields = {
      OutcomeName(outcome),
      std::to_string(outcome),
      report.source_dir.value_or(""),
      report.manifest_sha256 ? Sha256Hex(*report.manifest_sha256) : "",
      std::to_string(copied),
      std::to_string(failed)};
  return event;
}

std::string ResultJson(const ResultHeader& header, const RunReport& report,
                       Outputs& outputs) {
  const DWORD outcome = report.Outcome();
  std::string json = "{\n";
  json += "  \"format\": 1,\n";
  json += "  \"program\": \"ksupdate\",\n";
  json += "  \"version\": \"" KSUPDATE_VERSION "\",\n";
  json += "  \"started\": " + Time(header.started) + ",\n";
  json += "  \"ended\": " + Time(header.ended) + ",\n";
  json += "  \"argument\": " + Quoted(header.argument) + ",\n";
  json += "  \"what_if\": " + std::string(report.what_if ? "true" : "false") +
          ",\n";
  json += "  \"source_directory\": " + OptionalText(report.source_dir) + ",\n";
  json += "  \"bin_directory\": " + OptionalText(report.bin_dir) + ",\n";
  json += "  \"outcome\": \"" + std::string(OutcomeName(outcome)) + "\",\n";
  json += "  \"msi_code\": " + std::to_string(outcome) + ",\n";
  json += "  \"exit_status\": " + std::to_string(header.exit_status) + ",\n";
  json += "  \"reason\": " + Reason(report) + ",\n";
  json += "  \"odd_settings\": " + OddSettings(header.odd_settings) + ",\n";
  json += "  \"trust\": " + Trust(report.trust) + ",\n";
  json += "  \"modules\": [";
  for (size_t i = 0; i < report.modules.size(); ++i) {
    const ModuleRecord& module = report.modules[i];
    json += i == 0 ? "\n" : ",\n";
    json += "    {\"name\": " + Quoted(module.name);
    json += ", \"new_version\": " + OptionalText(module.new_version);
    json += ", \"installed_before\": " + OptionalText(module.installed_before);
    json += ", \"installed_after\": " + OptionalText(module.installed_after);
    json += ", \"result\": \"" + std::string(ModuleResultName(module.result)) +
            "\"";
    json += ", \"error\": " + Error(module.error, outputs);
    json += ", \"checksum\": " + Checksum(module);
    json += ", \"moved_aside\": " +
            std::string(module.moved_aside ? "true" : "false") + "}";
  }
  json += report.modules.empty() ? "]\n" : "\n  ]\n";
  json += "}\n";
  return json;
}

}  // namespace ks
