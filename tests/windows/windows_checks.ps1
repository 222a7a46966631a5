# Checks a release of haltctl on a Windows Server machine (GitHub's hosted
# runners), run by .github/workflows/windows.yml after the build job:
#
#   - every case of cases.json that asks for no request, as this account and as
#     a fresh standard user: exit status and output bytes as the table says;
#   - every request case through the probe build (whose SHA-256 the build job
#     recorded), as this account (the privilege enabled) and as the standard
#     user (not enabled): status 0, the request and the privilege state printed;
#   - every request case that is no logoff, for real, as the standard user only,
#     who lacks the shutdown right on a server: status 1, the banner alone, and
#     `shutdown /a` answering that no shutdown is in progress (1116);
#   - the MSI: silent install, one PATH entry, `haltctl -?` found by a new
#     process, upgrade to the next version, downgrade refused, removal.
#
# Nothing here may end this machine or this job. So no real request is ever
# made as this account, which holds every right; a logoff, which needs no
# right, is never made for real by anyone; before any real request the edition
# must be a server and the standard user's token must lack SeShutdownPrivilege,
# and every vector runs through the probe first, whose printed flags decide
# whether the real program may run it. Any doubt stops the job.
#
#   windows_checks.ps1 -Artifacts DIR -Arch x64|x86 -Version X.Y.Z -ProbeSha256 HEX -Logs DIR
param(
    [Parameter(Mandatory)] [string] $Artifacts,
    [Parameter(Mandatory)] [ValidateSet('x64', 'x86')] [string] $Arch,
    [Parameter(Mandatory)] [string] $Version,
    [Parameter(Mandatory)] [string] $ProbeSha256,
    [Parameter(Mandatory)] [string] $Logs
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$ShutdownRequestBits = 1 -bor 2 -bor 8  # EWX_SHUTDOWN, EWX_REBOOT, EWX_POWEROFF
$NoShutdownInProgress = 1116             # ERROR_NO_SHUTDOWN_IN_PROGRESS
$Latin1 = [System.Text.Encoding]::GetEncoding(28591)
$script:Failures = [System.Collections.Generic.List[string]]::new()
$script:Checks = 0

function Stop-Checks([string] $Why) {
    throw "STOPPED, nothing further is run: $Why"
}

function Test-Check([bool] $Ok, [string] $What) {
    $script:Checks++
    if ($Ok) {
        Write-Host "ok   $What"
    } else {
        Write-Host "FAIL $What"
        $script:Failures.Add($What)
    }
    return $Ok
}

# Runs a program, as this account or, given a credential, as that user through
# ProcessStartInfo (CreateProcessWithLogonW), whose exit code is reliable. The
# environment is left unset, so another user's process gets one made from that
# user's profile and the machine's current PATH. Returns the status and the
# bytes of standard output.
function Invoke-Program([string] $Path, [string[]] $Arguments, [pscredential] $Credential,
                        [string] $WorkingDirectory = (Split-Path -Parent $Path)) {
    $info = [System.Diagnostics.ProcessStartInfo]::new($Path)
    foreach ($argument in $Arguments) { $info.ArgumentList.Add($argument) }
    $info.UseShellExecute = $false
    $info.RedirectStandardOutput = $true
    $info.WorkingDirectory = $WorkingDirectory
    if ($Credential) {
        $info.UserName = $Credential.UserName
        $info.Password = $Credential.Password
        $info.Domain = $env:COMPUTERNAME
        $info.LoadUserProfile = $true
    }
    $process = [System.Diagnostics.Process]::Start($info)
    $buffer = [System.IO.MemoryStream]::new()
    $process.StandardOutput.BaseStream.CopyTo($buffer)
    $process.WaitForExit()
    [pscustomobject]@{ Status = $process.ExitCode; Output = $Latin1.GetString($buffer.ToArray()) }
}

function Join-Lines([string[]] $Lines) {
    -join ($Lines | ForEach-Object { "$_`r`n" })
}

function Format-Arguments([object[]] $Arguments) {
    '[' + (($Arguments | ForEach-Object { "'$_'" }) -join ', ') + ']'
}

function Get-MachinePathEntries {
    $key = Get-Item 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
    @($key.GetValue('Path', '', 'DoNotExpandEnvironmentNames') -split ';' | Where-Object { $_ })
}

function Get-Installations {
    $roots = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall',
             'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
    @(foreach ($root in $roots) {
        foreach ($key in @(Get-ChildItem $root -ErrorAction SilentlyContinue)) {
            if ($key.GetValue('DisplayName') -eq 'haltctl') { [string] $key.GetValue('DisplayVersion') }
        }
    })
}

function Invoke-Msiexec([string] $Action, [string] $Package, [string] $Log) {
    $arguments = "$Action `"$Package`" /qn /l*v `"$(Join-Path $Logs $Log)`""
    (Start-Process msiexec.exe -ArgumentList $arguments -Wait -PassThru).ExitCode
}

# What is checked, from the build job's artifacts.
$packages = Join-Path $Artifacts 'packages'
$zip = Join-Path $packages "haltctl-$Version-windows-$Arch.zip"
$msi = Join-Path $packages "haltctl-$Version-windows-$Arch.msi"
$next = @(Get-ChildItem (Join-Path $Artifacts 'next') -Filter "haltctl-*-windows-$Arch.msi")
if ($next.Count -ne 1) { Stop-Checks "expected one next-version MSI, found $($next.Count)" }
$nextMsi = $next[0].FullName
$nextVersion = $next[0].Name -replace '^haltctl-(.+)-windows-\w+\.msi$', '$1'
$table = Get-Content -Raw (Join-Path $PSScriptRoot 'cases.json') | ConvertFrom-Json
$banner = Join-Lines ($table.banner | ForEach-Object { $_.Replace('{version}', $Version) })
$usage = Join-Lines $table.usage
New-Item -ItemType Directory -Force $Logs | Out-Null

# The guards: a probe that is not the one the build job proved, or a client
# edition, where standard users hold the shutdown right, stops everything.
$probeSource = Join-Path $Artifacts "probe/haltctl-probe-$Arch.exe"
$probeHash = (Get-FileHash -Algorithm SHA256 $probeSource).Hash
if ($probeHash -ne $ProbeSha256.ToUpperInvariant()) {
    Stop-Checks "the probe's SHA-256 is $probeHash, not the $ProbeSha256 the build job proved"
}
$os = Get-CimInstance Win32_OperatingSystem
Write-Host "$($os.Caption) $($os.Version), ProductType $($os.ProductType)"
if ($os.ProductType -eq 1) { Stop-Checks 'this is a client edition: standard users may shut it down' }

# The executables in a folder the standard user may read and run from.
$work = Join-Path $env:SystemDrive 'haltctl-check'
Remove-Item -Recurse -Force $work -ErrorAction SilentlyContinue
New-Item -ItemType Directory $work | Out-Null
Expand-Archive $zip -DestinationPath $work
$exe = Join-Path $work 'haltctl.exe'
$probe = Join-Path $work 'haltctl-probe.exe'
Copy-Item $probeSource $probe
if ((Get-FileHash -Algorithm SHA256 $probe).Hash -ne $probeHash) { Stop-Checks 'the probe changed on copying' }

$user = 'haltctl-test'
$password = -join ((1..10 | ForEach-Object { [char](Get-Random -Minimum 97 -Maximum 123) })) + 'Q7-x'
& net.exe user $user $password /add | Out-Null
if ($LASTEXITCODE -ne 0) { Stop-Checks "could not make the standard user $user" }
try {
    $credential = [pscredential]::new($user, (ConvertTo-SecureString $password -AsPlainText -Force))
    & icacls.exe $work /grant "${user}:(OI)(CI)RX" | Out-Null
    if ($LASTEXITCODE -ne 0) { Stop-Checks "could not let $user read $work" }
    if (@(& net.exe localgroup Administrators) -contains $user) { Stop-Checks "$user is an administrator" }
    # The user's own token, as whoami reads it: no SeShutdownPrivilege, and a
    # list that is really there (every token holds SeChangeNotifyPrivilege).
    $whoami = Invoke-Program (Join-Path $env:SystemRoot 'System32\whoami.exe') @('/priv') $credential $work
    Write-Host $whoami.Output
    if ($whoami.Status -ne 0 -or $whoami.Output -notmatch 'SeChangeNotifyPrivilege') {
        Stop-Checks "whoami /priv as $user failed (status $($whoami.Status))"
    }
    if ($whoami.Output -match 'SeShutdownPrivilege') { Stop-Checks "$user holds SeShutdownPrivilege" }

    $accounts = [ordered]@{ 'this account' = $null; $user = $credential }
    $safe = 0
    $requests = 0
    $real = 0
    foreach ($case in $table.cases) {
        $arguments = [string[]] @($case.args)
        $shown = Format-Arguments $arguments
        if ($null -eq $case.PSObject.Properties['flags']) {
            # No request: through the probe first, which would print the
            # request if the table were wrong; then the real program.
            $safe++
            $expected = $banner + $(if ($case.prints -eq 'usage') { $usage } else { '' })
            foreach ($account in $accounts.Keys) {
                $ran = Invoke-Program $probe $arguments $accounts[$account]
                if (-not (Test-Check ($ran.Status -eq $case.status -and $ran.Output -ceq $expected) `
                        "probe $($case.group) $shown as ${account}: status $($ran.Status)")) {
                    Stop-Checks "the probe did not show $shown to ask for no request: $($ran.Output)"
                }
                $ran = Invoke-Program $exe $arguments $accounts[$account]
                [void](Test-Check ($ran.Status -eq $case.status -and $ran.Output -ceq $expected) `
                        "$($case.group) $shown as ${account}: status $($ran.Status)")
            }
            continue
        }
        $requests++
        $flags = [int] $case.flags
        $recorded = @{}
        foreach ($account in $accounts.Keys) {
            $privilege = if ($accounts[$account]) { 'not enabled' } else { 'enabled' }
            $line = $table.probe.Replace('{flags}', "$flags").Replace('{privilege}', $privilege)
            $ran = Invoke-Program $probe $arguments $accounts[$account]
            $recorded[$account] = Test-Check ($ran.Status -eq 0 -and $ran.Output -ceq ($banner + (Join-Lines $line))) `
                "probe request $shown as ${account}: status $($ran.Status), $($ran.Output.Trim() -split "`r`n" | Select-Object -Last 1)"
        }
        # The real request: never a logoff, never as this account, and only
        # for the flags the probe has just shown these arguments to make.
        if (($flags -band $ShutdownRequestBits) -eq 0 -or -not $recorded[$user] -or ($arguments -join ' ') -match 'l') {
            Write-Host "     request $shown is made through the probe only"
            continue
        }
        $real++
        $ran = Invoke-Program $exe $arguments $credential
        [void](Test-Check ($ran.Status -eq 1 -and $ran.Output -ceq $banner) `
                "request $shown as ${user}: refused, status $($ran.Status), the banner alone")
        $answer = (Invoke-Program (Join-Path $env:SystemRoot 'System32\shutdown.exe') @('/a') $null).Status
        if (-not (Test-Check ($answer -eq $NoShutdownInProgress) "after $shown no shutdown is in progress (shutdown /a: $answer)")) {
            Stop-Checks "shutdown /a answered $answer after $shown"
        }
    }
    Write-Host (("{0} cases from cases.json: {1} without a request (probe and program, as both " +
                 "accounts), {2} requests (probe as both accounts; {3} also for real as $user)") -f
                $table.cases.Count, $safe, $requests, $real)

    # The MSI, installed as a fleet would.
    $programFiles = if ($Arch -eq 'x64') { $env:ProgramFiles } else { ${env:ProgramFiles(x86)} }
    $folder = Join-Path $programFiles 'haltctl'
    $installed = Join-Path $folder 'haltctl.exe'
    $status = Invoke-Msiexec '/i' $msi 'install.log'
    [void](Test-Check ($status -eq 0) "msiexec /i $(Split-Path -Leaf $msi) /qn: $status")
    [void](Test-Check ((Test-Path $installed) -and
        (Get-FileHash $installed).Hash -eq (Get-FileHash $exe).Hash) "$installed is the released executable")
    $entries = @(Get-MachinePathEntries | Where-Object { $_.TrimEnd('\') -eq $folder })
    [void](Test-Check ($entries.Count -eq 1) "the machine's PATH holds $folder once ($($entries.Count))")
    $where = Invoke-Program (Join-Path $env:SystemRoot 'System32\where.exe') @('haltctl') $credential $env:SystemRoot
    [void](Test-Check ($where.Status -eq 0 -and $where.Output.Trim() -eq $installed) `
            "a new process of $user finds it: where haltctl: $($where.Output.Trim())")
    $ran = Invoke-Program (Join-Path $env:SystemRoot 'System32\cmd.exe') @('/d', '/c', 'haltctl -?') $credential $env:SystemRoot
    [void](Test-Check ($ran.Status -eq 0 -and $ran.Output -ceq ($banner + $usage)) "cmd /c haltctl -? as ${user}: status $($ran.Status)")
    [void](Test-Check (((Get-Installations) -join ',') -eq $Version) "installed: haltctl $Version")

    $status = Invoke-Msiexec '/i' $nextMsi 'upgrade.log'
    [void](Test-Check ($status -eq 0) "msiexec /i of version $nextVersion over it: $status")
    [void](Test-Check (((Get-Installations) -join ',') -eq $nextVersion) "one installation remains, $nextVersion: $(Get-Installations)")
    $status = Invoke-Msiexec '/i' $msi 'downgrade.log'
    [void](Test-Check ($status -ne 0 -and ((Get-Installations) -join ',') -eq $nextVersion) `
            "installing $Version over $nextVersion is refused: $status")

    $status = Invoke-Msiexec '/x' $nextMsi 'remove.log'
    [void](Test-Check ($status -eq 0) "msiexec /x /qn: $status")
    [void](Test-Check (-not (Test-Path $folder)) "$folder is gone")
    $entries = @(Get-MachinePathEntries | Where-Object { $_.TrimEnd('\') -eq $folder })
    [void](Test-Check ($entries.Count -eq 0) "the machine's PATH no longer holds $folder")
    [void](Test-Check ((Get-Installations).Count -eq 0) 'no installation of haltctl remains')
} finally {
    & net.exe user $user /delete | Out-Null
}

Write-Host "$($script:Checks) checks, $($script:Failures.Count) failed"
if ($script:Failures.Count -ne 0) { exit 1 }
