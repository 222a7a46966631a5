# Stand-ins for the Windows-only cmdlets, the registry and Chocolatey's
# helpers that windows_checks.ps1 and the Chocolatey scripts call, for their
# runs under pwsh on Linux (pwsh_checks.py). Functions come before cmdlets of
# the same name, so these answer instead, from the machine that the JSON file
# $env:HALTCTL_MACHINE holds (pwsh_checks.py writes it; its msiexec stand-in
# changes it). A path outside the registry goes to the cmdlet itself.
function Read-Machine { Get-Content -Raw -LiteralPath $env:HALTCTL_MACHINE | ConvertFrom-Json -AsHashtable }

function New-Key([string] $Name, [hashtable] $Values, [hashtable] $Kinds) {
    $key = [pscustomobject] @{ Name = $Name; PSChildName = ($Name -split '\\')[-1]; Values = $Values; Kinds = $Kinds }
    $key | Add-Member ScriptMethod GetValue {
        param($Value, $Default, $Options)
        if ($this.Values.ContainsKey($Value)) { $this.Values[$Value] } else { $Default }
    }
    $key | Add-Member ScriptMethod GetValueKind {
        param($Value)
        if ($this.Kinds.ContainsKey($Value)) { $this.Kinds[$Value] } else { 'String' }
    }
    $key | Add-Member ScriptMethod Dispose {}
    $key
}

function Get-Item {
    [CmdletBinding()] param([Parameter(Position = 0)] [string] $Path, [string] $LiteralPath)
    $name = if ($LiteralPath) { $LiteralPath } else { $Path }
    if ($name -notlike 'HKLM:\*') { return Microsoft.PowerShell.Management\Get-Item @PSBoundParameters }
    $machine = Read-Machine
    if (-not $machine.answers.ContainsKey($name)) {
        throw [System.Management.Automation.ItemNotFoundException] "Cannot find path '$name' because it does not exist."
    }
    New-Key $name $machine.answers[$name] $machine.kinds
}

function Get-ItemProperty {
    [CmdletBinding()] param([Parameter(Position = 0)] [string] $Path, [string] $LiteralPath)
    [pscustomobject] (Get-Item -LiteralPath $(if ($LiteralPath) { $LiteralPath } else { $Path })).Values
}

function Get-ChildItem {
    [CmdletBinding()] param([Parameter(Position = 0)] [string] $Path, [string] $LiteralPath, [string] $Filter)
    if ("$Path$LiteralPath" -notlike 'HKLM:\*') { return Microsoft.PowerShell.Management\Get-ChildItem @PSBoundParameters }
    $machine = Read-Machine
    foreach ($name in $machine.answers.Keys) {
        if ($name -like "$Path\*" -and $name.Substring($Path.Length + 1) -notmatch '\\') {
            New-Key $name $machine.answers[$name] $machine.kinds
        }
    }
}

function Get-CimInstance([Parameter(Position = 0)] [string] $ClassName, [string] $Filter = '') {
    $answer = (Read-Machine).answers["$ClassName $Filter".Trim()]
    if ($null -ne $answer) { [pscustomobject] $answer }
}

# Get-WinEvent says so as an error when no event matches.
function Get-WinEvent {
    [CmdletBinding()] param([hashtable] $FilterHashtable)
    $events = @((Read-Machine).answers['Get-WinEvent'])
    if ($events.Count -eq 0) {
        Write-Error -Message 'No events were found that match the specified selection criteria.' `
            -ErrorId NoMatchingEventsFound -Category ObjectNotFound
    }
    foreach ($record in $events) { [pscustomobject] $record }
}

# Chocolatey's helper takes url64bit on a 64-bit Windows (its
# Get-OSArchitectureWidth: a 64-bit process, or PROCESSOR_ARCHITEW6432 set),
# url otherwise; this one prints what it would download.
function Install-ChocolateyPackage {
    param($PackageName, $FileType, $Url, $Checksum, $ChecksumType, $Url64bit, $Checksum64,
          $ChecksumType64, $SilentArgs, $ValidExitCodes)
    $wide = $env:PROCESSOR_ARCHITECTURE -in 'AMD64', 'ARM64' -or $env:PROCESSOR_ARCHITEW6432
    if ($wide) { "download $Url64bit sha256 $Checksum64" } else { "download $Url sha256 $Checksum" }
}
