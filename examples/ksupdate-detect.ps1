# Tells a deployment tool whether this client's modules are up to date:
# an Intune custom detection script, a Configuration Manager script
# detection method. Windows PowerShell 5.1.
#
# Up to date: every module that the patch manifest below lists in its
# [modules] section has its file in the installation's bin directory, and
# client.ver there records it at the version listed or higher. Then it
# prints one line and exits 0; when one is not, it prints nothing and exits
# 0 (both tools take a line as "installed", no output as "not installed").
# When it cannot tell (the manifest cannot be read or lists no module, no
# installation, client.ver unreadable, a language mode that forbids what
# it does), it writes why to standard error and exits 1: a failed script,
# never "not installed" for ever.
#
# The patch manifest on the share that the deployment runs ksupdate from:
# set it once for your share and sign the script; every patch published
# there is then detected by the same script.
$Manifest = '\\fileserver\ksupdate\patch\ksmodules.ver'

# Read as ksupdate reads its manifests: blanks trimmed, ';' comments, names
# whatever the case of their ASCII letters, only the first of a section or
# name counted; a version is the number at its start (blanks, a sign,
# digits), limited to 32 bits.
$Blanks = [char[]](32, 9, 10, 11, 12, 13, 26)

function Get-Key([string]$Name) {
  [regex]::Replace($Name.Trim($Blanks), '[A-Z]', { param($m) $m.Value.ToLowerInvariant() })
}

function Get-Number([string]$Text) {
  # One pair of matching quotes around it does not count.
  if ($Text.Length -ge 2 -and ($Text[0] -eq '"' -or $Text[0] -eq "'") -and $Text[-1] -eq $Text[0]) {
    $Text = $Text.Substring(1, $Text.Length - 2)
  }
  if ($Text.Length -gt 79) { $Text = $Text.Substring(0, 79) }
  $m = [regex]::Match($Text, '^[ \t\n\v\f\r]*([+-]?)0*([0-9]*)')
  $digits = $m.Groups[2].Value
  [long]$n = 0
  if ($digits.Length -gt 10) { $n = 2147483648 } elseif ($digits) { $n = [long]$digits }
  if ($m.Groups[1].Value -eq '-') { $n = -$n }
  if ($n -gt 2147483647) { $n = 2147483647 }
  if ($n -lt -2147483648) { $n = -2147483648 }
  $n
}

# The entries of the first section named $Section: .Names in order (a '|'
# separates names), .Values by key (a key without '=' has none).
function Read-Entries([string]$Text, [string]$Section) {
  # Hashtables that match keys exactly (@{} ignores all case): Get-Key has
  # folded ASCII letters alone, as ksupdate does.
  $names = New-Object System.Collections.ArrayList
  $values = New-Object System.Collections.Hashtable
  $current = ''
  $done = New-Object System.Collections.Hashtable
  foreach ($line in $Text -split "\r\n|\n|\r") {
    $line = $line.Trim($Blanks)
    if ($line.StartsWith('[') -and $line.Contains(']')) {
      $done[$current] = $true
      $current = Get-Key $line.Substring(1, $line.LastIndexOf(']') - 1)
      continue
    }
    if ($current -ne $Section -or $done.ContainsKey($current) -or
        $line -eq '' -or $line.StartsWith(';')) { continue }
    $at = $line.IndexOf('=')
    $key = if ($at -lt 0) { $line } else { $line.Substring(0, $at) }
    foreach ($name in $key.Trim($Blanks).Split('|')) { [void]$names.Add($name) }
    if (-not $values.ContainsKey((Get-Key $key))) {
      $values[(Get-Key $key)] = if ($at -lt 0) { $null } else { $line.Substring($at + 1).Trim($Blanks) }
    }
  }
  New-Object PSObject -Property @{ Names = $names; Values = $values }
}

function Get-Version($Entries, [string]$Name) {
  $value = $Entries.Values[(Get-Key $Name)]
  if ($null -eq $value) { return 0 }
  Get-Number $value
}

# Says why it cannot tell, on standard error, and ends as a failed script.
function Stop-Unknown([string]$Why) {
  Write-Error -Message "ksupdate-detect: $Why" -ErrorAction Continue
  exit 1
}

$ErrorActionPreference = 'Stop'
try {
  $want = Read-Entries ([IO.File]::ReadAllText($Manifest, [Text.Encoding]::Default)) 'modules'
  if ($want.Names.Count -eq 0) { Stop-Unknown "$Manifest lists no module in [modules]" }

  # ksupdate is a 32-bit program: the installation is in the 32-bit view.
  $hklm = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', 'Registry32')
  $key = $hklm.OpenSubKey('SOFTWARE\Kestrova\Plennet Groupware 6.5')
  $dir = if ($null -eq $key) { '' } else { [string]$key.GetValue('KestrovaDir32', '', 'DoNotExpandEnvironmentNames') }
  if ($dir -eq '') { Stop-Unknown 'no installation: no KestrovaDir32 in HKLM\SOFTWARE\Kestrova\Plennet Groupware 6.5 (32-bit view)' }
  if (-not $dir.EndsWith('\')) { $dir += '\' }
  $bin = $dir + 'bin'
  if (-not [IO.Directory]::Exists($bin)) { Stop-Unknown "no installation: $bin is not there" }

  $installed = ''
  if ([IO.File]::Exists("$bin\client.ver")) {
    $installed = [IO.File]::ReadAllText("$bin\client.ver", [Text.Encoding]::Default)
  }
  $have = Read-Entries $installed 'modules'
  foreach ($name in $want.Names) {
    if (-not [IO.File]::Exists("$bin\$name")) { exit 0 }
    if ((Get-Version $have $name) -lt (Get-Version $want $name)) { exit 0 }
  }
  Write-Output "ksupdate: $($want.Names.Count) modules up to date in $bin"
  exit 0
} catch {
  # A manifest or client.ver that cannot be read, or a language mode that
  # forbids .NET calls: said, never taken for "not installed".
  Stop-Unknown $_.Exception.Message
}
