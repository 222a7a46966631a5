# Checks a release of haltctl on a Windows Server machine (GitHub's hosted
# runners), or for ARM64 on Windows 11 on ARM, run by
# .github/workflows/windows.yml after the build job:
#
#   - what the machine is, printed before anything else: the edition and
#     build, this account's `whoami /all` and session, the Secondary Logon
#     service, and who holds SeShutdownPrivilege (`secedit`); anything there
#     that contradicts the guards below stops the job before any request;
#   - every case of cases.json that asks for no request, as this account and as
#     a fresh standard user: exit status and output bytes as the table says;
#   - every request case through the probe build (whose SHA-256 the build job
#     recorded), as this account (the privilege enabled) and as the standard
#     user (not enabled): status 0, the request and the privilege state printed;
#   - every request case that is no logoff, for real, as the standard user only,
#     who lacks the shutdown right on a server: status 1 and the banner alone,
#     as the README's exit-status table says of a refused request, and no
#     shutdown recorded in the System log;
#   - the MSI: silent install, the machine's PATH exactly the old one plus the
#     folder, `haltctl -?` found by a new process, upgrade to the next
#     version, downgrade refused (1603, the refusal in the log), removal, and
#     the machine's PATH exactly as before.
#
# On a client edition (Windows 11 on ARM), where every user holds the
# shutdown right, only ARM64 is checked, and only what makes no request: the
# cases without one, every request through the probe, and the MSI; no
# standard user is made, and the real program makes no request at all.
#
# Nothing here may end this machine or this job. So no real request is ever
# made as this account, which holds every right; a logoff, which needs no
# right, is never made for real by anyone; before any real request the edition
# must be a server and the standard user's token must lack SeShutdownPrivilege,
# and every vector runs through the probe first, whose printed flags decide
# whether the real program may run it. Any doubt stops the job. Every program
# run has a time limit, and the standard user is deleted whatever happens.
#
#   windows_checks.ps1 -Artifacts DIR -Arch x64|x86|arm64 -Version X.Y.Z -ProbeSha256 HEX -Logs DIR
#
# -Launcher is for tests away from Windows (tests/windows/pwsh_checks.py): a
# program, with its first arguments, that every program is started through,
# told the user to run it as ('' for this account) and the program's path
# before the program's own arguments. It changes how a program is started,
# nothing else; on Windows it is never given.
param(
    [Parameter(Mandatory)] [string] $Artifacts,
    [Parameter(Mandatory)] [ValidateSet('x64', 'x86', 'arm64')] [string] $Arch,
    [Parameter(Mandatory)] [string] $Version,
    [Parameter(Mandatory)] [string] $ProbeSha256,
    [Parameter(Mandatory)] [string] $Logs,
    [string[]] $Launcher = @()
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$ShutdownRequestBits = 1 -bor 2 -bor 8  # EWX_SHUTDOWN, EWX_REBOOT, EWX_POWEROFF
$Administrators = 'S-1-5-32-544'        # BUILTIN\Administrators
$Users = 'S-1-5-32-545'                 # BUILTIN\Users: every standard user's token holds it
$LocalSystem = 'S-1-5-18'
$InstallBusy = 1618                     # ERROR_INSTALL_ALREADY_RUNNING
$InstallFailure = 1603                  # ERROR_INSTALL_FAILURE: a launch condition refused
$ProgramLimit = 120                     # seconds any program may take; msiexec may take more
$MsiLimit = 600
$BusyRetries = 6                        # msiexec runs while another installation is in progress,
$BusyPause = 20                         # seconds apart
$Latin1 = [System.Text.Encoding]::GetEncoding(28591)
$System32 = Join-Path $env:SystemRoot 'System32'
$Started = Get-Date
$script:Failures = [System.Collections.Generic.List[string]]::new()
$script:Checks = 0

function Stop-Checks([string] $Why) {
    throw "STOPPED, nothing further is run: $Why"
}

# Counts a check and prints it; on a failure, also the detail (a program's
# output, say).
function Test-Check([bool] $Ok, [string] $What, [string] $Detail = '') {
    $script:Checks++
    if ($Ok) {
        Write-Host "ok   $What"
    } else {
        Write-Host "FAIL $What"
        if ($Detail) { Write-Host ($Detail.TrimEnd() -replace '(?m)^', '       | ') }
        $script:Failures.Add($What)
    }
    return $Ok
}

# Runs a program, as this account or, given a credential, as that user through
# ProcessStartInfo (CreateProcessWithLogonW, the Secondary Logon service),
# whose exit code is reliable. The environment is left unset, so another
# user's process gets one made from that user's profile and the machine's
# current PATH. Waits at most $Limit seconds, then ends the program and all
# it started. Prints one line for the run ($Shown instead of the arguments,
# where they hold a secret) and returns the status ($null when it was ended),
# the bytes of standard output and the text of standard error.
function Invoke-Program([string] $Path, [string[]] $Arguments, [pscredential] $Credential,
                        [string] $WorkingDirectory = (Split-Path -Parent $Path),
                        [int] $Limit = $ProgramLimit, [string] $Shown = '') {
    if ($Launcher) {
        $info = [System.Diagnostics.ProcessStartInfo]::new($Launcher[0])
        $runAs = if ($Credential) { $Credential.UserName } else { '' }
        foreach ($argument in @($Launcher | Select-Object -Skip 1) + @($runAs, $Path)) { $info.ArgumentList.Add($argument) }
    } else {
        $info = [System.Diagnostics.ProcessStartInfo]::new($Path)
        if ($Credential) {
            $info.UserName = $Credential.UserName
            $info.Password = $Credential.Password
            $info.Domain = $env:COMPUTERNAME
            $info.LoadUserProfile = $true
        }
    }
    foreach ($argument in $Arguments) { $info.ArgumentList.Add($argument) }
    $info.UseShellExecute = $false
    $info.RedirectStandardOutput = $true
    $info.RedirectStandardError = $true
    $info.WorkingDirectory = $WorkingDirectory
    $clock = [System.Diagnostics.Stopwatch]::StartNew()
    $process = [System.Diagnostics.Process]::Start($info)
    # Both pipes are read at once, so that neither can fill and stall the program.
    $buffer = [System.IO.MemoryStream]::new()
    $copied = $process.StandardOutput.BaseStream.CopyToAsync($buffer)
    $errors = $process.StandardError.ReadToEndAsync()
    $status = $null
    if ($process.WaitForExit($Limit * 1000)) {
        $status = $process.ExitCode
    } else {
        try { $process.Kill($true) } catch { Write-Host "     could not end $Path`: $_" }
        [void] $process.WaitForExit(10000)
    }
    # A program it started may hold the pipes open: that wait is limited too.
    [void] [System.Threading.Tasks.Task]::WaitAll(@($copied, $errors), 10000)
    $errorText = if ($errors.IsCompleted) { $errors.Result } else { '(standard error still open)' }
    $ran = [pscustomobject]@{
        Status = $status
        Output = $Latin1.GetString($buffer.ToArray())
        Error = $errorText
    }
    $who = if ($Credential) { " as $($Credential.UserName)" } else { '' }
    $shownArguments = if ($Shown) { $Shown } else { Format-Arguments $Arguments }
    $result = if ($null -eq $status) { "ENDED after the $Limit s limit" } else { "status $status" }
    $said = if ($ran.Error.Trim()) { ", standard error: $($ran.Error.Trim() -replace '\s+', ' ')" } else { '' }
    Write-Host ("     ran {0} {1}{2}: {3} in {4:0.0} s{5}" -f (Split-Path -Leaf $Path), $shownArguments,
                $who, $result, $clock.Elapsed.TotalSeconds, $said)
    $ran
}

# Whether a SID is in whoami's text, as itself (S-1-5-18 is not S-1-5-180).
function Test-Sid([string] $Text, [string] $Sid) {
    $Text -match "(?<![0-9-])$([regex]::Escape($Sid))(?![0-9-])"
}

function Format-Run($Ran) {
    "standard output:`n$($Ran.Output)`nstandard error:`n$($Ran.Error)"
}

function Join-Lines([string[]] $Lines) {
    -join ($Lines | ForEach-Object { "$_`r`n" })
}

function Format-Arguments([object[]] $Arguments) {
    '[' + (($Arguments | ForEach-Object { "'$_'" }) -join ', ') + ']'
}

# The machine's PATH as the registry holds it, unexpanded, and its kind; a
# key or value that is missing is an error, as is any failed read. The key
# comes from the registry provider (a RegistryKey), like every other read of
# the registry here.
function Read-SystemPath {
    $name = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
    $key = Get-Item -LiteralPath $name
    try {
        $value = $key.GetValue('Path', $null, [Microsoft.Win32.RegistryValueOptions]::DoNotExpandEnvironmentNames)
        if ($null -eq $value) { throw "$name has no Path value" }
        [pscustomobject]@{ Value = [string] $value; Kind = $key.GetValueKind('Path') }
    } finally {
        $key.Dispose()
    }
}

# Call it as @(Get-Installations): with no installation, its empty list
# unrolls to $null, whose .Count fails under StrictMode.
function Get-Installations {
    $roots = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall',
             'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
    @(foreach ($root in $roots) {
        foreach ($key in @(Get-ChildItem $root -ErrorAction SilentlyContinue)) {
            if ($key.GetValue('DisplayName') -eq 'haltctl') { [string] $key.GetValue('DisplayVersion') }
        }
    })
}

# Runs msiexec on an absolute package path with a verbose log in $Logs; while
# another installation is in progress (1618) it tries again, $BusyRetries
# times at most, each try with a log of its own. Returns the status and the
# last log's path.
function Invoke-Msiexec([string] $Action, [string] $Package, [string] $Log) {
    for ($try = 0; ; $try++) {
        $name = if ($try -eq 0) { "$Log.log" } else { "$Log-retry$try.log" }
        $logPath = Join-Path $Logs $name
        $ran = Invoke-Program (Join-Path $System32 'msiexec.exe') @($Action, $Package, '/qn', '/l*v', $logPath) `
            $null $System32 $MsiLimit
        if ($ran.Status -ne $InstallBusy -or $try -ge $BusyRetries) { break }
        Write-Host "     another installation is in progress (1618): trying again in $BusyPause s"
        Start-Sleep -Seconds $BusyPause
    }
    [pscustomobject]@{ Status = $ran.Status; Log = $logPath }
}

# A verbose msiexec log: UTF-16 (with or without its byte order mark) or
# the ANSI code page.
function Read-MsiLog([string] $Path) {
    if (-not (Test-Path -LiteralPath $Path)) { return '' }
    $bytes = [System.IO.File]::ReadAllBytes($Path)
    if ($bytes.Length -ge 2 -and ($bytes[1] -eq 0 -or ($bytes[0] -eq 0xFF -and $bytes[1] -eq 0xFE))) {
        return [System.Text.Encoding]::Unicode.GetString($bytes)
    }
    [System.Text.Encoding]::Default.GetString($bytes)
}

$user = 'haltctl-test'
$userMade = $false
$stopped = ''
try {
    # Every path absolute: msiexec and the other user's programs start in
    # folders of their own.
    $Artifacts = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($Artifacts)
    $Logs = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($Logs)
    New-Item -ItemType Directory -Force $Logs | Out-Null

    # What is checked, from the build job's artifacts.
    $packages = Join-Path $Artifacts 'packages'
    $zip = Join-Path $packages "haltctl-$Version-windows-$Arch.zip"
    $msi = Join-Path $packages "haltctl-$Version-windows-$Arch.msi"
    $next = @(Get-ChildItem -LiteralPath (Join-Path $Artifacts 'next') -Filter "haltctl-*-windows-$Arch.msi")
    if ($next.Count -ne 1) { Stop-Checks "expected one next-version MSI, found $($next.Count)" }
    $nextMsi = $next[0].FullName
    $nextVersion = $next[0].Name -replace '^haltctl-(.+)-windows-\w+\.msi$', '$1'
    $table = Get-Content -Raw -LiteralPath (Join-Path $PSScriptRoot 'cases.json') | ConvertFrom-Json
    $banner = Join-Lines ($table.banner | ForEach-Object { $_.Replace('{version}', $Version) })
    $usage = Join-Lines $table.usage
    $wxs = [xml] (Get-Content -Raw -LiteralPath (Join-Path $PSScriptRoot '../../packaging/haltctl.wxs'))
    $refusal = $wxs.Wix.Product.MajorUpgrade.DowngradeErrorMessage

    # The probe must be the one the build job proved.
    $probeSource = Join-Path $Artifacts "probe/haltctl-probe-$Arch.exe"
    $probeHash = (Get-FileHash -Algorithm SHA256 -LiteralPath $probeSource).Hash
    if ($probeHash -ne $ProbeSha256.ToUpperInvariant()) {
        Stop-Checks "the probe's SHA-256 is $probeHash, not the $ProbeSha256 the build job proved"
    }

    # What the machine is, before anything is asked of it. The guards assume
    # a server edition (on a client, standard users hold the shutdown right),
    # a job account that is not LocalSystem (which cannot start a program as
    # another user) and holds SeShutdownPrivilege (the probe's "enabled"),
    # Secondary Logon not disabled, and no holder of the right among the
    # standard user's own SIDs (checked once that user exists).
    Write-Host '--- the machine, before any request'
    $os = Get-CimInstance Win32_OperatingSystem
    $current = Get-ItemProperty 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
    $edition = if ($current.PSObject.Properties['EditionID']) { $current.EditionID } else { '?' }
    $revision = if ($current.PSObject.Properties['UBR']) { $current.UBR } else { '?' }
    Write-Host ("edition: {0} ({1}), version {2}, build {3}.{4}, ProductType {5}" -f
                $os.Caption, $edition, $os.Version, $os.BuildNumber, $revision, $os.ProductType)
    $client = $os.ProductType -eq 1
    if ($client -and $Arch -ne 'arm64') { Stop-Checks 'this is a client edition: standard users may shut it down' }
    if ($client) {
        Write-Host ('a client edition: every user may shut it down, so the real program makes no ' +
                    'request here and no standard user is made; help, usage, the probe and the MSI run')
    }
    Write-Host "this process: session $([System.Diagnostics.Process]::GetCurrentProcess().SessionId), PowerShell $($PSVersionTable.PSVersion)"
    $whoami = Invoke-Program (Join-Path $System32 'whoami.exe') @('/all')
    Write-Host $whoami.Output
    if ($whoami.Status -ne 0) { Stop-Checks "whoami /all failed (status $($whoami.Status)): $($whoami.Error)" }
    if (Test-Sid $whoami.Output $LocalSystem) { Stop-Checks 'the job account is LocalSystem' }
    if ($whoami.Output -notmatch 'SeShutdownPrivilege') { Stop-Checks 'the job account lacks SeShutdownPrivilege' }
    $logon = Get-CimInstance Win32_Service -Filter "Name='seclogon'"
    if ($null -eq $logon) { Stop-Checks 'there is no Secondary Logon service (seclogon)' }
    Write-Host "Secondary Logon (seclogon): $($logon.State), start mode $($logon.StartMode)"
    if ($logon.StartMode -eq 'Disabled' -and -not $client) {
        Stop-Checks 'Secondary Logon is disabled: no program can run as the standard user'
    }
    $rights = Join-Path $Logs 'user-rights.inf'
    $exported = Invoke-Program (Join-Path $System32 'secedit.exe') @('/export', '/areas', 'USER_RIGHTS', '/cfg', $rights) `
        $null $System32
    if ($exported.Status -ne 0 -or -not (Test-Path -LiteralPath $rights)) {
        Stop-Checks "secedit /export /areas USER_RIGHTS failed (status $($exported.Status)): $($exported.Output)"
    }
    $line = @(Get-Content -LiteralPath $rights | Where-Object { $_ -match '^\s*SeShutdownPrivilege\s*=' })
    $holders = if ($line.Count -eq 1) { @(($line[0] -split '=', 2)[1] -split ',' | ForEach-Object { $_.Trim().TrimStart('*') }) } else { @() }
    Write-Host "SeShutdownPrivilege is held by: $(if ($holders.Count) { $holders -join ', ' } else { 'nobody' })"
    if ($holders.Count -eq 0) { Stop-Checks 'secedit names no holder of SeShutdownPrivilege, though the job account holds it' }

    # The executables in a folder the standard user may read and run from.
    $work = Join-Path $env:SystemDrive 'haltctl-check'
    Remove-Item -Recurse -Force -LiteralPath $work -ErrorAction SilentlyContinue
    New-Item -ItemType Directory $work | Out-Null
    # Not Expand-Archive: it reads a bracket in the destination's path as a wildcard.
    [System.IO.Compression.ZipFile]::ExtractToDirectory($zip, $work)
    $exe = Join-Path $work 'haltctl.exe'
    $probe = Join-Path $work 'haltctl-probe.exe'
    Copy-Item -LiteralPath $probeSource $probe
    if ((Get-FileHash -Algorithm SHA256 -LiteralPath $probe).Hash -ne $probeHash) { Stop-Checks 'the probe changed on copying' }

    if (-not $client) {
        $password = -join ((1..10 | ForEach-Object { [char](Get-Random -Minimum 97 -Maximum 123) })) + 'Q7-x'
        $made = Invoke-Program (Join-Path $System32 'net.exe') @('user', $user, $password, '/add') `
            -Shown "user $user (password) /add"
        if ($made.Status -ne 0) { Stop-Checks "could not make the standard user ${user}: $($made.Output) $($made.Error)" }
        $userMade = $true
        $credential = [pscredential]::new($user, (ConvertTo-SecureString $password -AsPlainText -Force))
        $granted = Invoke-Program (Join-Path $System32 'icacls.exe') @($work, '/grant', "${user}:(OI)(CI)RX")
        if ($granted.Status -ne 0) { Stop-Checks "could not let $user read ${work}: $($granted.Output)" }
        # The user's own token, as whoami reads it: its SIDs and privileges. A
        # listing without BUILTIN\Users or SeChangeNotifyPrivilege is not really
        # there; the Administrators SID (even as deny-only) or the shutdown
        # right, or a SID of the right's holders, stops everything.
        $token = Invoke-Program (Join-Path $System32 'whoami.exe') @('/all') $credential $work
        Write-Host $token.Output
        if ($token.Status -ne 0 -or -not (Test-Sid $token.Output $Users) -or $token.Output -notmatch 'SeChangeNotifyPrivilege') {
            Stop-Checks "whoami /all as $user failed or listed no token (status $($token.Status)): $($token.Error)"
        }
        if (Test-Sid $token.Output $Administrators) { Stop-Checks "$user is in Administrators ($Administrators)" }
        if ($token.Output -match 'SeShutdownPrivilege') { Stop-Checks "$user holds SeShutdownPrivilege" }
        $sids = @([regex]::Matches($token.Output, 'S-1-[0-9-]+') | ForEach-Object { $_.Value })
        $shared = @($holders | Where-Object { $sids -ccontains $_ })
        if ($shared.Count -ne 0) { Stop-Checks "$user's token holds $($shared -join ', '), which holds SeShutdownPrivilege" }
    }
    Write-Host '--- nothing contradicts the guards'

    $accounts = [ordered]@{ 'this account' = $null }
    if (-not $client) { $accounts[$user] = $credential }
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
                if (-not (Test-Check ($ran.Status -eq $case.status -and $ran.Output -ceq $expected -and $ran.Error -eq '') `
                        "probe $($case.group) $shown as ${account}: status $($ran.Status)" (Format-Run $ran))) {
                    Stop-Checks "the probe did not show $shown to ask for no request"
                }
                $ran = Invoke-Program $exe $arguments $accounts[$account]
                [void](Test-Check ($ran.Status -eq $case.status -and $ran.Output -ceq $expected -and $ran.Error -eq '') `
                        "$($case.group) $shown as ${account}: status $($ran.Status)" (Format-Run $ran))
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
            $recorded[$account] = Test-Check ($ran.Status -eq 0 -and $ran.Output -ceq ($banner + (Join-Lines $line)) -and $ran.Error -eq '') `
                "probe request $shown as ${account}: status $($ran.Status), $($ran.Output.Trim() -split "`r`n" | Select-Object -Last 1)" `
                (Format-Run $ran)
        }
        # The real request: never a logoff, never as this account, and only
        # for the flags the probe has just shown these arguments to make.
        if ($client -or ($flags -band $ShutdownRequestBits) -eq 0 -or -not $recorded[$user] -or
                ($arguments -join ' ') -match 'l') {
            Write-Host "     request $shown is made through the probe only"
            continue
        }
        $real++
        # Without the right, the privilege step gets ERROR_NOT_ALL_ASSIGNED
        # (1300) and ExitWindowsEx fails with ERROR_PRIVILEGE_NOT_HELD (1314):
        # a refused request, which the README's table makes status 1 with
        # nothing printed after the banner.
        $ran = Invoke-Program $exe $arguments $credential
        [void](Test-Check ($ran.Status -eq 1 -and $ran.Output -ceq $banner -and $ran.Error -eq '') `
                "request $shown as ${user}: refused, status $($ran.Status), the banner alone" (Format-Run $ran))
        if ($ran.Status -eq 0) { Stop-Checks "Windows accepted $shown from ${user}: the guards were wrong" }
    }
    Write-Host (("{0} cases from cases.json: {1} without a request (probe and program, as both " +
                 "accounts), {2} requests (probe as both accounts; {3} also for real as $user)") -f
                @($table.cases).Count, $safe, $requests, $real)
    # A shutdown that Windows starts for ExitWindowsEx is recorded in the
    # System log as event 1074, naming the program; a refused one is not.
    $unread = @()
    $events = @(Get-WinEvent -FilterHashtable @{ LogName = 'System'; Id = 1074; StartTime = $Started } `
        -ErrorAction SilentlyContinue -ErrorVariable unread)
    $unread = @($unread | Where-Object { $_.FullyQualifiedErrorId -notlike 'NoMatchingEventsFound*' })
    $named = @($events | Where-Object { $_.Message -match 'haltctl' })
    [void](Test-Check ($unread.Count -eq 0 -and $named.Count -eq 0) `
            "no shutdown by haltctl in the System log since the start (event 1074: $($events.Count), naming haltctl: $($named.Count))" `
            (@($unread | ForEach-Object { "$_" }) + @($named | ForEach-Object { $_.Message }) -join "`n"))

    # The MSI, installed as a fleet would; the machine's PATH compared whole.
    $programFiles = if ($Arch -eq 'x86') { ${env:ProgramFiles(x86)} } else { $env:ProgramFiles }
    $folder = Join-Path $programFiles 'haltctl'
    $installed = Join-Path $folder 'haltctl.exe'
    $before = Read-SystemPath
    Write-Host "the machine's PATH before the install ($($before.Kind)): $($before.Value)"
    # The package's Environment row, "[~];[INSTALLDIR]", appends ";" and the
    # folder (a directory property ends with "\") to what was there.
    $joined = if ($before.Value.EndsWith(';')) { @($before.Value) } else { @() }
    $joined += "$($before.Value);"
    $withFolder = @($joined | ForEach-Object { "$_$folder\"; "$_$folder" })

    $ran = Invoke-Msiexec '/i' $msi 'install'
    [void](Test-Check ($ran.Status -eq 0) "msiexec /i $(Split-Path -Leaf $msi) /qn: $($ran.Status)")
    [void](Test-Check ((Test-Path -LiteralPath $installed) -and
        (Get-FileHash -LiteralPath $installed).Hash -eq (Get-FileHash -LiteralPath $exe).Hash) "$installed is the released executable")
    $after = Read-SystemPath
    [void](Test-Check ($withFolder -ccontains $after.Value -and $after.Kind -eq $before.Kind) `
            "the machine's PATH is the old one and $folder ($($after.Kind))" "before: $($before.Value)`nafter:  $($after.Value)")
    # A new process of another user reads the machine's PATH afresh; this
    # account's would inherit the job's.
    if ($client) {
        Write-Host "     no standard user on a client edition: the PATH is checked in the registry alone"
    } else {
        $where = Invoke-Program (Join-Path $System32 'where.exe') @('haltctl') $credential $env:SystemRoot
        [void](Test-Check ($where.Status -eq 0 -and $where.Output.Trim() -eq $installed) `
                "a new process of $user finds it: where haltctl: $($where.Output.Trim())" (Format-Run $where))
        $ran = Invoke-Program (Join-Path $System32 'cmd.exe') @('/d', '/c', 'haltctl -?') $credential $env:SystemRoot
        [void](Test-Check ($ran.Status -eq 0 -and $ran.Output -ceq ($banner + $usage)) "cmd /c haltctl -? as ${user}: status $($ran.Status)" (Format-Run $ran))
    }
    [void](Test-Check ((@(Get-Installations) -join ',') -eq $Version) "installed: haltctl $Version")

    $ran = Invoke-Msiexec '/i' $nextMsi 'upgrade'
    [void](Test-Check ($ran.Status -eq 0) "msiexec /i of version $nextVersion over it: $($ran.Status)")
    [void](Test-Check ((@(Get-Installations) -join ',') -eq $nextVersion) "one installation remains, ${nextVersion}: $(@(Get-Installations))")
    $upgraded = Read-SystemPath
    [void](Test-Check ($upgraded.Value -ceq $after.Value -and $upgraded.Kind -eq $before.Kind) `
            "the machine's PATH after the upgrade is as after the install" "after the install: $($after.Value)`nafter the upgrade: $($upgraded.Value)")
    $ran = Invoke-Msiexec '/i' $msi 'downgrade'
    $log = Read-MsiLog $ran.Log
    [void](Test-Check ($ran.Status -eq $InstallFailure -and $log.Contains($refusal) -and
                       (@(Get-Installations) -join ',') -eq $nextVersion) `
            "installing $Version over $nextVersion is refused: $($ran.Status) (expected $InstallFailure), the refusal in $(Split-Path -Leaf $ran.Log): $($log.Contains($refusal))")

    $ran = Invoke-Msiexec '/x' $nextMsi 'remove'
    [void](Test-Check ($ran.Status -eq 0) "msiexec /x /qn: $($ran.Status)")
    [void](Test-Check (-not (Test-Path -LiteralPath $folder)) "$folder is gone")
    $removed = Read-SystemPath
    [void](Test-Check ($removed.Value -ceq $before.Value -and $removed.Kind -eq $before.Kind) `
            "the machine's PATH is exactly as before the install ($($removed.Kind))" "before: $($before.Value)`nafter:  $($removed.Value)")
    [void](Test-Check (@(Get-Installations).Count -eq 0) 'no installation of haltctl remains')
} catch {
    $stopped = "$($_.Exception.Message)`n$($_.ScriptStackTrace)"
} finally {
    if ($userMade) {
        try {
            $deleted = Invoke-Program (Join-Path $System32 'net.exe') @('user', $user, '/delete')
            [void](Test-Check ($deleted.Status -eq 0) "the standard user $user is deleted" (Format-Run $deleted))
        } catch {
            [void](Test-Check $false "the standard user $user is deleted" "$_")
        }
    }
}

if ($stopped) { Write-Host $stopped }
Write-Host "$($script:Checks) checks, $($script:Failures.Count) failed$(if ($stopped) { ', and the checks stopped' })"
# An explicit status: otherwise the step's would be the last program's.
if ($stopped -or $script:Failures.Count -ne 0) { exit 1 }
exit 0
