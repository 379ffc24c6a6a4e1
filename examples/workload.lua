-- Synthetic Windows endpoint activity for the reference agent.
--
-- The rows have the shape of the recorded workloads described in
-- shared/workloads/SOURCES.md: {time_ms, op, pid, ppid, image, path, new_path,
-- cmdline}, time_ms and pids as numbers, the rest as strings ("" for no value).
-- Every share below is quoted from the statistics there ("measured"), counted
-- over the recordings' rows where SOURCES.md gives no figure ("counted"), or
-- marked "chosen" where the recordings have nothing to go by. The model is built from
-- those shares, not from the recordings' rows, and test runs check that the
-- output follows it.
--
-- What it reproduces: a set of long-running processes that act throughout;
-- process starts by the images the recordings start most, each followed by the
-- new process loading its modules; script steps (cmd.exe with its conhost.exe
-- and a tool) and occasional installers; bursts of image loads that share one
-- millisecond, with the exact repeats Windows Error Reporting produces; file
-- creates with the measured extension mix in the folders those files live in;
-- deletes, time and stream changes, writes, renames and security changes, mostly
-- on files created earlier in the run; pids that come back after an exit.

local format, floor, log = string.format, math.floor, math.log

local workload = {}

-- Random numbers -------------------------------------------------------------

-- Multiplicative congruential generator modulo 2^31 - 1, multiplier 48271: every
-- product stays below 2^47, exact in a double, so a seed gives the same run on
-- every Lua build.
local MODULUS, MULTIPLIER = 2147483647, 48271

local Rng = {}
Rng.__index = Rng

function workload.rng(seed)
  local self = setmetatable({ x = seed % (MODULUS - 1) + 1 }, Rng)
  for _ = 1, 4 do self:next() end -- small seeds start with small values
  return self
end

function Rng:next()
  local x = self.x * MULTIPLIER % MODULUS
  self.x = x
  return x
end

function Rng:float() -- [0, 1)
  return (self:next() - 1) / (MODULUS - 1)
end

function Rng:int(n) -- 1..n
  return floor(self:float() * n) + 1
end

function Rng:chance(p)
  return self:float() < p
end

function Rng:pick(list)
  return list[self:int(#list)]
end

-- Mean-m exponential, for burst sizes and gaps.
function Rng:exp(m)
  return -log(1 - self:float()) * m
end

function Rng:hex(digits) -- lower-case hex digits
  local out = {}
  for i = 1, digits, 7 do out[#out + 1] = format("%07x", self:next() % 268435456) end
  return table.concat(out):sub(1, digits)
end

function Rng:guid()
  local h = self:hex(32)
  return format("%s-%s-%s-%s-%s", h:sub(1, 8), h:sub(9, 12), h:sub(13, 16), h:sub(17, 20), h:sub(21, 32))
end

-- {{item, weight}, ...} -> function(rng) returning an item in proportion to its weight.
local function weighted(list)
  local items, cum, total = {}, {}, 0
  for i, entry in ipairs(list) do
    total = total + entry[2]
    items[i], cum[i] = entry[1], total
  end
  return function(rng)
    local r = rng:float() * total
    for i = 1, #cum do
      if r < cum[i] then return items[i] end
    end
    return items[#items]
  end
end

-- Images ---------------------------------------------------------------------

local SYS = "C:\\Windows\\System32\\"
local EDGE_DIR = "C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\"
local USER_LOCAL = "C:\\Users\\USER\\AppData\\Local\\"
local WER = "C:\\ProgramData\\Microsoft\\Windows\\WER\\"
local CDM = USER_LOCAL .. "Packages\\Microsoft.Windows.ContentDeliveryManager_cw5n1h2txyewy\\"

local IMG = {
  backgroundTaskHost = SYS .. "backgroundTaskHost.exe",
  BackgroundTransferHost = SYS .. "BackgroundTransferHost.exe",
  cmd = SYS .. "cmd.exe",
  conhost = SYS .. "conhost.exe",
  consent = SYS .. "consent.exe",
  cscript = SYS .. "cscript.exe",
  dllhost = SYS .. "dllhost.exe",
  explorer = "C:\\Windows\\explorer.exe",
  gpresult = SYS .. "gpresult.exe",
  ipconfig = SYS .. "ipconfig.exe",
  logman = SYS .. "logman.exe",
  MicrosoftEdgeCP = SYS .. "MicrosoftEdgeCP.exe",
  MicrosoftEdgeUpdate = "C:\\Program Files (x86)\\Microsoft\\EdgeUpdate\\MicrosoftEdgeUpdate.exe",
  MoUsoCoreWorker = SYS .. "MoUsoCoreWorker.exe",
  msedge = EDGE_DIR .. "msedge.exe",
  msiexec = SYS .. "msiexec.exe",
  netsh = SYS .. "netsh.exe",
  powershell = SYS .. "WindowsPowerShell\\v1.0\\powershell.exe",
  ProvTool = SYS .. "ProvTool.exe",
  reg = SYS .. "reg.exe",
  rundll32 = SYS .. "rundll32.exe",
  RuntimeBroker = SYS .. "RuntimeBroker.exe",
  sc = SYS .. "sc.exe",
  SearchFilterHost = SYS .. "SearchFilterHost.exe",
  SearchIndexer = SYS .. "SearchIndexer.exe",
  SearchProtocolHost = SYS .. "SearchProtocolHost.exe",
  services = SYS .. "services.exe",
  smartscreen = SYS .. "smartscreen.exe",
  sppsvc = SYS .. "sppsvc.exe",
  svchost = SYS .. "svchost.exe",
  taskhostw = SYS .. "taskhostw.exe",
  TrustedInstaller = "C:\\Windows\\servicing\\TrustedInstaller.exe",
  wermgr = SYS .. "wermgr.exe",
  WerFault = SYS .. "WerFault.exe",
  wevtutil = SYS .. "wevtutil.exe",
  whoami = SYS .. "whoami.exe",
  WmiPrvSE = SYS .. "wbem\\WmiPrvSE.exe",
}

-- Who acts in a burst of image loads: the measured share of all events per acting
-- image (top 15 of the "acting image" table, 81.5% together); the other 18.5% is
-- spread over images chosen from the long tail of the recordings' processes.
local pick_actor = weighted {
  { "wermgr", 58 }, { "msedge", 9.0 }, { "svchost", 8.9 }, { "conhost", 5.4 },
  { "backgroundTaskHost", 4.8 }, { "SearchIndexer", 3.1 }, { "netsh", 2.9 },
  { "RuntimeBroker", 2.0 }, { "cmd", 1.9 }, { "WmiPrvSE", 1.6 }, { "taskhostw", 1.4 },
  { "consent", 1.3 }, { "ProvTool", 1.2 }, { "MicrosoftEdgeCP", 0.8 },
  { "BackgroundTransferHost", 0.8 },
  { "explorer", 3.5 }, { "SearchProtocolHost", 2.5 }, { "MoUsoCoreWorker", 2.5 },
  { "WerFault", 2.0 }, { "dllhost", 2.0 }, { "smartscreen", 1.5 }, { "sppsvc", 1.5 },
  { "MicrosoftEdgeUpdate", 1.5 }, { "services", 1.0 }, { "TrustedInstaller", 1.0 },
  { "SearchFilterHost", 1.0 }, { "cscript", 0.5 },
}

-- Images of console programs: started from outside a console, each gets a
-- conhost.exe of its own (the recordings' 175 conhost starts for 126 cmd starts).
local CONSOLE = { cmd = true, netsh = true, cscript = true, powershell = true, sc = true, logman = true }

-- Modules a process loads. The recordings' loads are C:\Windows\System32 for the
-- most part; the ranks here only make some modules far more common than others.
local MODULES = {
  "ntdll.dll", "kernel32.dll", "KernelBase.dll", "bcryptprimitives.dll", "kernel.appcore.dll",
  "windows.storage.dll", "msvcp_win.dll", "ucrtbase.dll", "combase.dll", "advapi32.dll", "msvcrt.dll",
  "sechost.dll", "rpcrt4.dll", "user32.dll", "win32u.dll",
  "gdi32.dll", "gdi32full.dll", "imm32.dll", "ole32.dll", "oleaut32.dll",
  "shlwapi.dll", "shell32.dll", "SHCore.dll", "profapi.dll", "powrprof.dll",
  "UMPDC.dll", "cryptbase.dll", "bcrypt.dll", "crypt32.dll", "msasn1.dll",
  "wintrust.dll", "cryptsp.dll", "rsaenh.dll", "clbcatq.dll", "uxtheme.dll", "msctf.dll",
  "sspicli.dll", "userenv.dll", "ws2_32.dll", "IPHLPAPI.DLL",
  "winhttp.dll", "wininet.dll", "iertutil.dll", "urlmon.dll", "netutils.dll",
  "version.dll", "dwmapi.dll", "propsys.dll", "apphelp.dll", "edputil.dll",
  "WinTypes.dll", "twinapi.appcore.dll", "CoreMessaging.dll", "CoreUIComponents.dll",
  "TextInputFramework.dll", "rmclient.dll", "xmllite.dll", "cfgmgr32.dll", "setupapi.dll",
  "wevtapi.dll", "dbghelp.dll", "dbgcore.dll", "faultrep.dll", "ntmarta.dll",
  "netapi32.dll", "logoncli.dll",
  "schannel.dll", "ncrypt.dll", "ntasn1.dll", "fltLib.dll", "miutils.dll",
  "wmidcom.dll", "virtdisk.dll", "wtsapi32.dll", "mskeyprotect.dll", "ncryptsslp.dll",
  "ondemandconnroutehelper.dll", "winnsi.dll", "dhcpcsvc.dll", "dhcpcsvc6.dll",
  "fwpuclnt.dll", "rasadhlp.dll", "Windows.Storage.Search.dll", "StructuredQuery.dll",
  "windows.staterepositoryclient.dll", "Windows.StateRepositoryPS.dll", "Windows.UI.dll",
  "Windows.ApplicationModel.dll", "ResourcePolicyClient.dll", "AppXDeploymentClient.dll",
  "ExecModelClient.dll", "execmodelproxy.dll", "Windows.Networking.Connectivity.dll",
  "MrmCoreR.dll", "BCP47Langs.dll", "BCP47mrm.dll", "Windows.Globalization.dll", "Windows.Web.dll",
  "OneCoreUAPCommonProxyStub.dll", "OneCoreCommonProxyStub.dll", "policymanager.dll",
  "msvcp110_win.dll", "ActXPrxy.dll", "capauthz.dll", "usermgrcli.dll", "windowsudk.shellcommon.dll",
  "InputHost.dll", "tokenbinding.dll", "cryptngc.dll", "webauthn.dll", "Windows.Internal.Shell.Broker.dll",
  "Windows.System.Launcher.dll", "CapabilityAccessManagerClient.dll", "directmanipulation.dll",
  "d3d10warp.dll", "wuapi.dll", "wevtsvc.dll",
  "Windows.Devices.Enumeration.dll", "Windows.Storage.ApplicationData.dll", "Windows.FileExplorer.Common.dll",
  "Windows.Shell.ServiceHostBuilder.dll", "Windows.StateRepositoryCore.dll", "Windows.CloudStore.dll",
  "Windows.Security.Authentication.OnlineId.dll", "Windows.ApplicationModel.Background.TimeBroker.dll",
  "Windows.Media.Playback.BackgroundMediaPlayer.dll", "Windows.System.Profile.SystemManufacturers.dll",
  "AppointmentApis.dll", "UserDataTypeHelperUtil.dll", "PhoneProviders.dll", "MicrosoftAccountWAMExtension.dll",
  "DiagnosticDataSettings.dll", "SettingsHandlers_nt.dll", "ContentDeliveryManager.Utilities.dll",
  "AppContracts.dll", "ThreadPoolWinRT.dll", "WinRtTracing.dll", "SystemEventsBrokerClient.dll",
}

local WINSXS = {
  "C:\\Windows\\WinSxS\\amd64_microsoft.windows.common-controls_6595b64144ccf1df_6.0.19041.1110_none_60b5254171f9507e\\comctl32.dll",
  "C:\\Windows\\WinSxS\\amd64_microsoft.windows.gdiplus_6595b64144ccf1df_1.1.19041.1706_none_0fc88a7f7a4c1e3d\\GdiPlus.dll",
}

local DOTNET = {
  "C:\\Windows\\Microsoft.NET\\Framework64\\v4.0.30319\\clr.dll",
  "C:\\Windows\\Microsoft.NET\\Framework64\\v4.0.30319\\mscoreei.dll",
  "C:\\Windows\\assembly\\NativeImages_v4.0.30319_64\\mscorlib\\%s\\mscorlib.ni.dll",
  "C:\\Windows\\assembly\\NativeImages_v4.0.30319_64\\System\\%s\\System.ni.dll",
}

-- Full paths are built once: loads are most of the stream.
local function under(dir, names)
  local out = {}
  for i, name in ipairs(names) do out[i] = dir .. name end
  return out
end
local SYS_MODULES = under(SYS, MODULES)
local WOW_MODULES = under("C:\\Windows\\SysWOW64\\", MODULES)
local EDGE_MODULES = under(EDGE_DIR .. "118.0.2088.46\\",
  { "msedge_elf.dll", "msedge.dll", "libEGL.dll", "libGLESv2.dll", "ffmpeg.dll" })

-- A module path, mildly skewed towards the modules every process needs at the
-- head of MODULES (u^1.15 puts 13% of the picks on the first 10% of names; with
-- these names it gives the measured median path of 34 bytes); SysWOW64 1.2%,
-- WinSxS and .NET about 0.5% each (counted over the recordings' loads),
-- and the browser's own modules for the browser.
local SKEW = 1.15
local function module_path(rng, actor)
  local r = rng:float()
  if r < 0.012 then
    return WOW_MODULES[floor(rng:float() ^ SKEW * #MODULES) + 1]
  elseif r < 0.017 then
    return rng:pick(WINSXS)
  elseif r < 0.022 then
    return format(rng:pick(DOTNET), rng:hex(32))
  elseif actor == "msedge" and r < 0.08 then
    return rng:pick(EDGE_MODULES)
  end
  return SYS_MODULES[floor(rng:float() ^ SKEW * #MODULES) + 1]
end

-- Created files --------------------------------------------------------------

-- Each place makes (acting image, path) for a created file with the given
-- extension ("" for none), in the folder where the recordings' processes put
-- such files: Windows Error Reporting's report folders hold most of the
-- extension-less files, the browser and the store-app tasks most of the rest.
local REPORT_KINDS = { "NonCritical_Corruption", "AppCrash_msedge.exe", "Kernel_141", "NonCritical_x64" }

local PLACES = {
  wer = function(rng, ext)
    local r = rng:float()
    if ext == "" then
      if r < 0.4 then return "wermgr", WER .. "ReportArchive\\" .. rng:guid() end
      if r < 0.6 then return "wermgr", WER .. "Temp\\" .. rng:guid() end
      return "wermgr", format("%sReportQueue\\%s_%s_00000000_%s\\%s",
        WER, rng:pick(REPORT_KINDS), rng:hex(40), rng:guid(), rng:guid())
    elseif ext == "tmp" then
      return "wermgr", format("%sReportQueue\\%s_%s_00000000_%s\\Report.wer.tmp",
        WER, rng:pick(REPORT_KINDS), rng:hex(40), rng:guid())
    elseif ext == "xml" then
      return "wermgr", format("%sTemp\\WER.%s.tmp.WERInternalMetadata.xml", WER, rng:guid())
    end
    return "svchost", format("%sTemp\\WER%s.tmp.%s", WER, rng:hex(4):upper(), ext)
  end,
  systemprofile = function(rng, ext)
    local dir = SYS .. "config\\systemprofile\\AppData\\Local\\"
    local tw = format("tw-%s-%s-%s.tmp", rng:hex(3), rng:hex(3), rng:hex(7))
    if ext == "" then return "ProvTool", dir .. tw .. "\\" .. rng:guid() end
    return "ProvTool", dir .. tw
  end,
  browser = function(rng, ext)
    local data = USER_LOCAL .. "Microsoft\\Edge\\User Data\\"
    if ext == "tmp" then return "msedge", data .. rng:guid() .. ".tmp" end
    if ext == "log" then return "msedge", format("%sDefault\\Local Storage\\leveldb\\%06d.log", data, rng:int(999)) end
    if ext ~= "" then return "msedge", format("%sDefault\\Cache\\Cache_Data\\f_%s.%s", data, rng:hex(6), ext) end
    if rng:chance(0.5) then
      return "msedge", format("%sDefault\\Service Worker\\CacheStorage\\%s\\%s\\%s_0",
        data, rng:hex(40), rng:guid(), rng:hex(16))
    end
    return "msedge", format("%sDefault\\Cache\\Cache_Data\\f_%s", data, rng:hex(6))
  end,
  store = function(rng, ext)
    if ext == "up_meta_secure" or ext == "up_meta_body" then
      return "backgroundTaskHost", format("%sAC\\BackgroundTransferApi\\%s.%s", CDM, rng:guid(), ext)
    elseif ext == "down_meta" then
      return "BackgroundTransferHost", format("%sAC\\BackgroundTransferApi\\%s.%s.down_meta", CDM, rng:guid(), rng:guid())
    elseif ext == "jpg" or ext == "png" then
      return "BackgroundTransferHost", format("%sAC\\INetCache\\%s\\%s[1].%s", CDM, rng:hex(8):upper(), rng:hex(8), ext)
    end
    local suffix = ext ~= "" and "." .. ext or ""
    return "backgroundTaskHost", format("%sLocalState\\TargetedContentCache\\v3\\%d\\%s_%d%s",
      CDM, 338000 + rng:int(999), rng:hex(32), rng:int(9), suffix)
  end,
  prefetch = function(rng)
    local names = { "CMD.EXE", "CONHOST.EXE", "SVCHOST.EXE", "MSEDGE.EXE", "REG.EXE", "WERMGR.EXE", "WHOAMI.EXE" }
    return "svchost", format("C:\\Windows\\Prefetch\\%s-%s.pf", rng:pick(names), rng:hex(8):upper())
  end,
  temp = function(rng, ext)
    local suffix = ext ~= "" and "." .. ext or ""
    if rng:chance(0.3) then
      return "svchost", format("C:\\Windows\\Temp\\%s%s", rng:guid(), suffix)
    end
    return "explorer", format("%sTemp\\RPT%s.tmp\\CabFolder\\%s%s", USER_LOCAL, rng:hex(4):upper(), rng:hex(6), suffix)
  end,
  logs = function(rng, ext)
    return "svchost", format("%sLogFiles\\WMI\\%s.%s", SYS, rng:pick { "RtBackup", "Diagtrack-Listener", "LwtNetLog" }, ext)
  end,
}

-- Extensions of created files: the measured top 15 (93.2% of creates); the other
-- 6.8% goes to extensions counted in the recordings' tail. Each extension lists the
-- places it comes from, with weights chosen to match where the recordings put it.
local function ext(name, places)
  return { ext = name, place = weighted(places) }
end

local pick_create = weighted {
  { ext("", { { "wer", 62 }, { "browser", 16 }, { "store", 14 }, { "systemprofile", 8 } }), 51.1 },
  { ext("tmp", { { "wer", 30 }, { "systemprofile", 25 }, { "browser", 25 }, { "temp", 20 } }), 22.9 },
  { ext("pf", { { "prefetch", 1 } }), 4.9 },
  { ext("txt", { { "wer", 50 }, { "temp", 50 } }), 2.4 },
  { ext("xml", { { "wer", 80 }, { "temp", 20 } }), 2.3 },
  { ext("dat", { { "store", 1 } }), 1.4 },
  { ext("~tmp", { { "store", 1 } }), 1.3 },
  { ext("up_meta_secure", { { "store", 1 } }), 1.0 },
  { ext("up_meta_body", { { "store", 1 } }), 1.0 },
  { ext("down_meta", { { "store", 1 } }), 1.0 },
  { ext("png", { { "store", 1 } }), 1.0 },
  { ext("jpg", { { "store", 1 } }), 0.9 },
  { ext("js", { { "browser", 1 } }), 0.8 },
  { ext("etl", { { "logs", 1 } }), 0.6 },
  { ext("log", { { "browser", 1 } }), 0.6 },
  { ext("csv", { { "wer", 1 } }), 0.8 },
  { ext("db-journal", { { "browser", 1 } }), 0.7 },
  { ext("db", { { "temp", 1 } }), 0.6 },
  { ext("wer", { { "wer", 1 } }), 0.6 },
  { ext("css", { { "browser", 1 } }), 0.4 },
  { ext("ps1", { { "temp", 1 } }), 0.3 },
  { ext("evtx", { { "temp", 1 } }), 0.3 },
  { ext("ini", { { "temp", 1 } }), 0.3 },
  { ext("dll", { { "temp", 1 } }), 0.2 },
  { ext("exe", { { "temp", 1 } }), 0.2 },
  { ext("bin", { { "store", 1 } }), 0.2 },
  { ext("lnk", { { "temp", 1 } }), 0.1 },
  { ext("json", { { "store", 1 } }), 0.1 },
  { ext("log1", { { "temp", 1 } }), 0.2 },
  { ext("dmp", { { "wer", 1 } }), 0.2 },
}

local function create_target(rng)
  local kind = pick_create(rng)
  return PLACES[kind.place(rng)](rng, kind.ext)
end

-- Process starts ---------------------------------------------------------------

local function svchost_cmdline(rng)
  return SYS .. "svchost.exe -k " .. rng:pick {
    "netsvcs -p -s Schedule", "LocalServiceNetworkRestricted -p -s EventLog",
    "wsappx -p -s AppXSvc", "LocalSystemNetworkRestricted -p -s SysMain",
    "netsvcs -p -s wuauserv", "UnistackSvcGroup", "DcomLaunch -p",
  }
end

local function report_dir(rng)
  return format("%sTemp\\RPT%s.tmp\\CabFolder", USER_LOCAL, rng:hex(4):upper())
end

-- What a script step's cmd.exe runs: the measured cmd children (reg 45, wevtutil
-- 19, whoami 13 of 126 cmd starts), the rest plain shell built-ins.
local pick_step = weighted {
  { function(rng)
      local key = rng:pick { "HKLM\\SOFTWARE\\Policies", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters",
        "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings" }
      local leaf = key:match("([^\\]+)$")
      local cmd = format('reg export "%s" "%s\\Reg\\%s.reg.txt" /y', key, report_dir(rng), leaf)
      return cmd, "reg", cmd
    end, 45 },
  { function(rng)
      local log_name = rng:pick { "System", "Application", "Microsoft-Windows-WLAN-AutoConfig/Operational" }
      local cmd = format('wevtutil epl "%s" "%s\\config\\%s.evtx"', log_name, report_dir(rng), (log_name:gsub("/", "-")))
      return cmd, "wevtutil", cmd
    end, 19 },
  { function() return "whoami /all", "whoami", "whoami /all" end, 13 },
  { function(rng)
      return format('echo Collecting configuration, step %d >> "%s\\netinfo.txt"', rng:int(40), report_dir(rng))
    end, 49 },
}

local function exec_cmdline(rng, image, name)
  if name == "svchost" then return svchost_cmdline(rng) end
  if name == "msedge" then
    return format('"%s" --type=renderer --lang=en-US --renderer-client-id=%d --mojo-platform-channel-handle=%d /prefetch:1',
      image, rng:int(200), 1000 + rng:int(8000))
  end
  if name == "conhost" then return "\\??\\" .. SYS .. "conhost.exe 0xffffffff -ForceV1" end
  if name == "wermgr" then return image .. rng:pick { " -upload", " -queuereporting", " -outofqueue" } end
  if name == "rundll32" then return image .. " " .. SYS .. "shell32.dll,SHCreateLocalServerRunDll {9aa46009-3ce0-458a-a354-715610a075e6} -Embedding" end
  if name == "netsh" then return image .. " trace stop" end
  if name == "cscript" then return format('cscript.exe //nologo "%sgatherNetworkInfo.vbs"', SYS) end
  if name == "powershell" then
    return format([["%s" -NoProfile -Command "Get-Service | Where-Object {$_.Status -eq 'Running'}"]], image)
  end
  return image
end

-- Process starts per scenario: the measured exec counts of the top executed
-- images; cmd.exe runs a script step, which adds its conhost.exe and tool; the tail
-- of 236 other starts is spread over images the recordings start now and then.
-- Installers are chosen at 4 (the recordings have none; a run of default size
-- then installs about a dozen times).
local pick_exec = weighted {
  { "cmd_step", 126 }, { "svchost", 116 }, { "msedge", 114 }, { "wermgr", 60 },
  { "SearchIndexer", 43 }, { "backgroundTaskHost", 41 }, { "WmiPrvSE", 25 }, { "taskhostw", 23 },
  { "RuntimeBroker", 23 }, { "netsh", 23 }, { "dllhost", 18 },
  { "rundll32", 9 }, { "cscript", 3 }, { "powershell", 2 }, { "installer", 4 },
  { "WerFault", 30 }, { "SearchProtocolHost", 30 }, { "SearchFilterHost", 30 }, { "smartscreen", 20 },
  { "MoUsoCoreWorker", 20 }, { "sppsvc", 15 }, { "MicrosoftEdgeUpdate", 15 }, { "consent", 15 },
  { "BackgroundTransferHost", 15 }, { "sc", 10 }, { "logman", 10 }, { "gpresult", 8 },
  { "ipconfig", 6 }, { "TrustedInstaller", 5 },
}

-- Parent image per started image; what is not listed is started by svchost.exe.
local PARENT = {
  msedge = "msedge", svchost = "services", SearchIndexer = "services", sppsvc = "services",
  TrustedInstaller = "services", cscript = "netsh", powershell = "explorer",
  smartscreen = "svchost", consent = "svchost", MicrosoftEdgeUpdate = "svchost",
  gpresult = "cmd", ipconfig = "cmd", sc = "explorer", logman = "svchost",
}

-- Modules a new process loads at its start (its own image first, as Windows
-- maps it), mean per image; 25 by default. Chosen so that starts account for
-- about 40% of all loads, which leaves the long-running processes the rest.
local START_LOADS = { netsh = 90, msedge = 45, wermgr = 120, conhost = 12, cmd = 10, whoami = 18 }

-- The generator ----------------------------------------------------------------

local Generator = {}
Generator.__index = Generator

-- Long-running processes present when the run begins, with no start of their
-- own in the stream (as in a recording that begins on a running machine).
local RESIDENTS = {
  "services", "explorer", "svchost", "svchost", "svchost", "wermgr", "msedge", "msedge",
  "conhost", "backgroundTaskHost", "SearchIndexer", "netsh", "RuntimeBroker", "cmd", "WmiPrvSE",
  "taskhostw", "consent", "ProvTool", "MicrosoftEdgeCP", "BackgroundTransferHost",
  "SearchProtocolHost", "MoUsoCoreWorker", "WerFault", "dllhost", "smartscreen", "sppsvc",
  "MicrosoftEdgeUpdate", "TrustedInstaller", "SearchFilterHost", "cscript",
}

function workload.new(seed)
  local self = setmetatable({
    rng = workload.rng(seed or 1),
    time = 0,
    next_pid = 4,
    free_pids = {},   -- pids of exited processes, reused as Windows does
    residents = {},   -- name -> list of processes
    transient = {},   -- processes started during the run, candidates for exit
    files = {},       -- recently created files {pid, image, path}, for later changes
    queue = {}, head = 1, tail = 0, -- pending rows, 8 slots per row
  }, Generator)
  for _, name in ipairs(RESIDENTS) do
    local list = self.residents[name] or {}
    self.residents[name] = list
    list[#list + 1] = { pid = self:new_pid(), name = name, image = IMG[name] }
  end
  return self
end

function Generator:new_pid()
  local free = self.free_pids
  -- Windows hands out freed pids again soon; past a few dozen free ones, always.
  if #free > 64 or (#free > 0 and self.rng:chance(0.3)) then
    local i = self.rng:int(#free)
    local pid = free[i]
    free[i] = free[#free]
    free[#free] = nil
    return pid
  end
  self.next_pid = self.next_pid + 4 * self.rng:int(40)
  return self.next_pid
end

function Generator:push(pid, ppid, image, op, path, new_path, cmdline)
  local q, t = self.queue, self.tail
  q[t + 1], q[t + 2], q[t + 3], q[t + 4] = self.time, op, pid, ppid
  q[t + 5], q[t + 6], q[t + 7], q[t + 8] = image, path, new_path, cmdline
  self.tail = t + 8
end

function Generator:emit(op, proc, path, new_path)
  self:push(proc.pid, "", proc.image, op, path or "", new_path or "", "")
end

function Generator:resident(name)
  local list = self.residents[name]
  if not list then
    list = { { pid = self:new_pid(), name = name, image = IMG[name] } }
    self.residents[name] = list
  end
  return list[self.rng:int(#list)]
end

-- Burst of loads by one process at one millisecond. Windows Error Reporting
-- loads repeat earlier rows exactly (measured: up to 49% of loads in the files it
-- dominates, 23.8% overall); elsewhere repeats are rare (0.2-1.0% in most files).
function Generator:load_burst(proc, count, first)
  local rng = self.rng
  local repeat_p = proc.name == "wermgr" and 0.5 or 0.03
  local seen, n = {}, 0
  for i = 1, count do
    local path
    if i == 1 and first then
      path = first
    elseif n > 0 and rng:chance(repeat_p) then
      path = seen[rng:int(n)]
    else
      path = module_path(rng, proc.name)
    end
    n = n + 1
    seen[n] = path
    self:emit("load", proc, path)
  end
end

function Generator:start(name, parent, cmdline)
  local rng = self.rng
  local image = IMG[name]
  local proc = { pid = self:new_pid(), name = name, image = image }
  self:push(proc.pid, parent.pid, parent.image, "exec", image, "", cmdline or exec_cmdline(rng, image, name))
  local t = self.transient
  t[#t + 1] = proc
  local mean = START_LOADS[name] or 25
  self:load_burst(proc, 1 + floor(mean * (0.5 + rng:float())), image)
  if CONSOLE[name] and parent.name ~= "cmd" then
    self:start("conhost", proc)
  end
  return proc
end

function Generator:exec()
  local rng = self.rng
  local what = pick_exec(rng)
  if what == "cmd_step" then
    local parent = self:resident(rng:pick { "cscript", "cscript", "explorer", "svchost" })
    local step, tool, tool_cmdline = pick_step(rng)(rng)
    local cmd = self:start("cmd", parent, SYS .. "cmd.exe /c " .. step)
    if tool then self:start(tool, cmd, tool_cmdline) end
  elseif what == "installer" then
    self:install()
  else
    self:start(what, self:resident(PARENT[what] or "svchost"))
  end
end

-- An installer: the user's msiexec.exe hands the package to the service's, which
-- writes the product's files and sets their security.
function Generator:install()
  local rng = self.rng
  local package = format("C:\\Users\\USER\\Downloads\\Report Viewer, %d.%d.msi", rng:int(9), rng:int(20))
  self:start("msiexec", self:resident("explorer"), format('"%s" /i "%s" /qb', IMG.msiexec, package))
  local server = self:start("msiexec", self:resident("services"), IMG.msiexec .. " /V")
  self:emit("create", server, format("C:\\Windows\\Installer\\%s.msi", rng:hex(6)))
  local dir = "C:\\Program Files\\Report Viewer\\"
  for _, file in ipairs { "viewer.exe", "viewer.dll", "render.dll", "README.txt" } do
    self:emit("create", server, dir .. file)
    self:emit("open_write", server, dir .. file)
    self:emit("setsec", server, dir .. file)
  end
end

function Generator:exit()
  local t = self.transient
  if #t == 0 then return false end
  local i = self.rng:int(#t)
  local proc = t[i]
  t[i] = t[#t]
  t[#t] = nil
  self:emit("exit", proc)
  self.free_pids[#self.free_pids + 1] = proc.pid
  return true
end

-- Later changes go to files of the last few hundred creates: bounded, so that a
-- long run neither grows nor keeps touching files from its start.
function Generator:remember(proc, path)
  local files = self.files
  if #files >= 512 then files[self.rng:int(#files)] = { proc, path }
  else files[#files + 1] = { proc, path } end
end

function Generator:create_burst()
  local rng = self.rng
  local name, path = create_target(rng)
  local proc = self:resident(name)
  for _ = 1, rng:chance(0.3) and 1 + rng:int(4) or 1 do
    self:emit("create", proc, path)
    self:remember(proc, path)
    name, path = create_target(rng)
    if name ~= proc.name then break end
  end
end

-- A file created earlier in the run, taken out of the list when `take` is set.
function Generator:earlier_file(take)
  local files, rng = self.files, self.rng
  if #files == 0 then
    local name, path = create_target(rng)
    return self:resident(name), path
  end
  local i = rng:int(#files)
  local entry = files[i]
  if take then
    files[i] = files[#files]
    files[#files] = nil
  end
  return entry[1], entry[2], i
end

-- Renames follow the save pattern of the files above: a temporary name becomes
-- the final one, or the old file makes room under a ~RF backup name.
function Generator:rename()
  local proc, path, i = self:earlier_file(false)
  local stem = path:match("^(.*)%.[Tt][Mm][Pp]$") or path:match("^(.*)%.~tmp$")
  local new_path = stem or format("%s~RF%s.TMP", path, self.rng:hex(6))
  self:emit("rename", proc, path, new_path)
  if i then self.files[i] = { proc, new_path } end
end

function Generator:stream()
  local rng = self.rng
  local name = format("C:\\Users\\USER\\Downloads\\%s.%s", rng:pick { "report", "setup", "invoice", "photos" },
    rng:pick { "zip", "exe", "pdf", "msi" })
  local proc = self:resident("msedge")
  self:emit("create", proc, name)
  self:emit("stream", proc, name)
  self:remember(proc, name)
end

-- Event mix per burst. Measured shares of rows: load 84.6%, create 10.0%, delete
-- 2.0%, exec 1.4%, exit 1.2%, settime 0.7%, stream 0.1%. Chosen: writes 0.5% (the
-- recordings see writes only through the Security log, 3 rows in all; a filter
-- sees every close of a written file), renames 0.2%, security changes 0.05%.
-- The weights are per burst: they were tuned by running the generator until the
-- shares of rows came out as above, since starts and load bursts emit many rows.
local pick_step_kind = weighted {
  { "load", 11.0 }, { "exec", 1.43 }, { "exit", 1.6 }, { "create", 12.2 }, { "delete", 2.75 },
  { "settime", 0.96 }, { "stream", 0.15 }, { "open_write", 0.67 }, { "rename", 0.27 }, { "setsec", 0.05 },
}

-- Share of load bursts by a process started during the run rather than by a
-- long-running one (chosen).
local TRANSIENT_ACTOR = 0.1

function Generator:step()
  local rng = self.rng
  -- Tuned to the measured timing: 75.8% of rows share the millisecond of the row
  -- before (57-89% per file), a mean of 23.5 rows/s, silences of up to 30 s.
  if rng:chance(0.95) then
    if rng:chance(0.004) then
      self.time = self.time + 2000 + rng:int(28000)
    else
      self.time = self.time + 1 + floor(rng:exp(110))
    end
  end
  local kind = pick_step_kind(rng)
  if kind == "load" then
    local t = self.transient
    local proc
    if #t > 0 and rng:chance(TRANSIENT_ACTOR) then proc = t[rng:int(#t)]
    else proc = self:resident(pick_actor(rng)) end
    self:load_burst(proc, 1 + floor(rng:exp(5)))
  elseif kind == "exec" then
    self:exec()
  elseif kind == "exit" then
    if not self:exit() then self:exec() end
  elseif kind == "create" then
    self:create_burst()
  elseif kind == "stream" then
    self:stream()
  elseif kind == "rename" then
    self:rename()
  elseif kind == "setsec" then
    local proc, path = self:earlier_file(false)
    self:emit("setsec", rng:chance(0.5) and self:resident("TrustedInstaller") or proc, path)
  else
    local proc, path = self:earlier_file(kind == "delete")
    self:emit(kind, proc, path)
  end
end

-- The next row as 8 values in the order of the recordings' columns; the stream
-- never ends. The slots are reused, so rows cost no table of their own.
function Generator:next()
  local head = self.head
  if head > self.tail then
    self.tail = 0
    repeat self:step() until self.tail > 0
    head = 1
  end
  self.head = head + 8
  local q = self.queue
  return q[head], q[head + 1], q[head + 2], q[head + 3], q[head + 4], q[head + 5], q[head + 6], q[head + 7]
end

return workload
