-- Module ac: its constants, the field dc, mockdriver, the no-op, drives and devices,
-- driver installation and its core trace record, the profiler bindings.
local ac = require "ac"
local testlib = require "testlib"
local raises = testlib.raises

local function pack(...) return { n = select("#", ...), ... } end

-- Runs first: nothing in this file has required acdc yet.
describe("dc and mockdriver", function()
  it("opens acdc when it is not loaded, registers it without a global, and gives what is loaded", function()
    assert.is_nil(package.loaded.acdc)
    local dc = ac.dc
    assert.is_function(dc.AbstractEvent)
    assert.are.equal(dc, package.loaded.acdc)
    assert.are.equal(dc, ac.dc)
    assert.is_nil(rawget(_G, "acdc"))
    assert.is_nil(rawget(ac, "dc"))
    local stand_in = {}
    package.loaded.acdc = stand_in
    assert.are.equal(stand_in, ac.dc)
    package.loaded.acdc = false  -- not truthy: opened again
    local reopened = ac.dc
    assert.are_not.equal(dc, reopened)
    assert.is_function(reopened.AbstractEvent)
    assert.are.equal(reopened, package.loaded.acdc)
  end)

  it("follows the mock flag on every read", function()
    local mock = { name = "mock" }
    local requires = 0
    package.preload.acdc_mock = function() requires = requires + 1 return mock end
    ac.mockdriver(true)
    assert.are.equal(mock, ac.dc)
    assert.are.equal(mock, ac.dc)
    assert.are.equal(1, requires)  -- require keeps what it loaded
    ac.mockdriver(false)
    assert.are.equal(package.loaded.acdc, ac.dc)
    ac.mockdriver(true)
    package.loaded.acdc_mock = nil
    package.preload.acdc_mock = nil
    local ok, err = pcall(function() return ac.dc end)
    assert.is_false(ok)
    assert.matches("module 'acdc_mock' not found", err, 1, true)
    assert.are.same({ n = 0 }, pack(ac.mockdriver(false)))
    assert.are.equal(package.loaded.acdc, ac.dc)
  end)

  it("refuse what they do not take", function()
    for _, key in ipairs { "dcx", "DC", "dc\0", 1, 2.5 } do assert.is_nil(ac[key], tostring(key)) end
    raises("bad argument #2 to '__index' (string expected, got boolean)", function() return ac[true] end)
    for _, v in ipairs { 1, "true", {} } do
      raises("bad argument #1 to 'mockdriver' (expected true or false)", function() ac.mockdriver(v) end)
    end
    raises("bad argument #1 to 'mockdriver' (expected true or false)", function() ac.mockdriver(nil) end)
  end)
end)

describe("constants", function()
  it("hold the trust codes as signed 32-bit values, the provider flags and the dispositions", function()
    local want = {
      CRYPT_E_FILE_ERROR = -2146885629, CRYPT_E_SECURITY_SETTINGS = -2146885594,
      TRUST_E_NOSIGNATURE = -2146762496, TRUST_E_SUBJECT_FORM_UNKNOWN = -2146762749,
      TRUST_E_PROVIDER_UNKNOWN = -2146762751, TRUST_E_ACTION_UNKNOWN = -2146762750,
      TRUST_E_SUBJECT_NOT_TRUSTED = -2146762748, TRUST_E_FAIL = -2146762485,
      TRUST_E_EXPLICIT_DISTRUST = -2146762479, TRUST_E_SYSTEM_ERROR = -2146869247,
      TRUST_E_NO_SIGNER_CERT = -2146869246, TRUST_E_COUNTER_SIGNER = -2146869245,
      TRUST_E_CERT_SIGNATURE = -2146869244, TRUST_E_TIME_STAMP = -2146869243,
      TRUST_E_BAD_DIGEST = -2146869232, TRUST_E_BASIC_CONSTRAINTS = -2146869223,
      TRUST_E_FINANCIAL_CRITERIA = -2146869218,
      WTD_PROV_FLAGS_MASK = 65535, WTD_USE_IE4_TRUST_FLAG = 1, WTD_NO_IE4_CHAIN_FLAG = 2,
      WTD_NO_POLICY_USAGE_FLAG = 4, WTD_REVOCATION_CHECK_NONE = 16, WTD_REVOCATION_CHECK_END_CERT = 32,
      WTD_REVOCATION_CHECK_CHAIN = 64, WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT = 128, WTD_SAFER_FLAG = 256,
      WTD_HASH_ONLY_FLAG = 512, WTD_USE_DEFAULT_OSVER_CHECK = 1024, WTD_LIFETIME_SIGNING_FLAG = 2048,
      WTD_CACHE_ONLY_URL_RETRIEVAL = 4096,
      CREATE_NEW = 1, CREATE_ALWAYS = 2, OPEN_EXISTING = 3, OPEN_ALWAYS = 4, TRUNCATE_EXISTING = 5,
    }
    local got = {}
    for k, v in pairs(ac) do
      if type(v) ~= "function" then got[k] = v end
    end
    assert.are.same(want, got)
  end)
end)

describe("the no-op, drives and devices", function()
  it("WriteEventLocally and CacheSelfTest are one function that returns nothing", function()
    assert.are.equal(ac.WriteEventLocally, ac.CacheSelfTest)
    assert.are.same({ n = 0 }, pack(ac.CacheSelfTest(1, "x", {}, nil, true)))
  end)

  -- The native tests cover every type and name with the queries substituted; this
  -- asks the real file systems and the real message text.
  it("lists drives C and Z with a type name and answers the system's text for no device #linux", function()
    local names = { removable = true, fixed = true, remote = true, cdrom = true, ramdisk = true, unknown = true }
    local roots = {}
    for root, kind in pairs(ac.GetLogicalDriveStrings()) do
      roots[#roots + 1] = root
      assert.is_true(names[kind], kind)
    end
    table.sort(roots)
    assert.are.same({ "c:\\", "z:\\" }, roots)
    assert.are.same({ n = 3, nil, 2, "The system cannot find the file specified." }, pack(ac.QueryDosDevice("D:")))
  end)
end)

describe("driver installation #linux", function()
  local corelib
  setup(function() corelib = require "corelib" end)

  -- The source line of the trace call, read from the source, which the record names.
  local function trace_line()
    local n = 0
    for line in io.lines("ac/ac-Windows/driver_install.cpp") do
      n = n + 1
      if line:find("core::Trace(", 1, true) then return n end
    end
  end

  local function records_of(call, locale)
    assert.is_not_nil(os.setlocale(locale, "ctype"))
    corelib.clear_records()
    local results = pack(call())
    os.setlocale("C", "ctype")
    return results, corelib.records()
  end

  before_each(function()
    corelib.capture(true)
    corelib.trace("ac-Windows", true)
  end)
  after_each(function()
    corelib.trace("ac-Windows", false)
    corelib.clear_records()
  end)

  it("traces the whole command line, the path read in the locale's encoding", function()
    local path = "C:\\drv\\caf\xC3\xA9.inf"
    local results, records = records_of(function() return ac.InstallDriver(path) end, "C.UTF-8")
    assert.are.same({ n = 0 }, results)
    assert.are.same({ {
      component = "ac-Windows", source = "ac-Windows", line = trace_line(), ["function"] = "l_InstallDriver",
      message = "Install Driver DefaultInstall 128 C:\\drv\\caf\xC3\xA9.inf",
    } }, records)
    -- Under C each byte above 127 is no character: one U+FFFD each.
    results, records = records_of(function() return ac.UninstallDriver(path) end, "C")
    assert.are.same({ n = 0 }, results)
    assert.are.same({ {
      component = "ac-Windows", source = "ac-Windows", line = trace_line(), ["function"] = "l_UninstallDriver",
      message = "Uninstall Driver DefaultUninstall 128 C:\\drv\\caf\xEF\xBF\xBD\xEF\xBF\xBD.inf",
    } }, records)
  end)

  it("writes no record while the component's trace is off, and refuses a path that is no string", function()
    corelib.trace("ac-Windows", false)
    corelib.trace("ac", true)
    local results, records = records_of(function() return ac.InstallDriver("C:\\no\\such.inf") end, "C")
    assert.are.same({ n = 0 }, results)
    assert.are.same({}, records)
    corelib.trace("ac", false)
    raises("bad argument #1 to 'InstallDriver' (string expected, got no value)", function() ac.InstallDriver() end)
    raises("bad argument #1 to 'UninstallDriver' (string expected, got boolean)",
      function() ac.UninstallDriver(true) end)
  end)
end)

describe("ProfilerBindings #linux", function()
  it("gives the stand-in's two hooks, blockfilter first, and calls neither", function()
    local corelib = require "corelib"
    local blockfilter_calls, running_calls = corelib.profiler_calls()
    local results = pack(ac.ProfilerBindings())
    assert.are.equal(2, results.n)
    assert.are.equal("userdata", type(results[1]))
    assert.are_not.equal(results[1], results[2])
    assert.are.same(pack(corelib.profiler_hooks()), results)
    assert.are.same({ blockfilter_calls, running_calls }, { corelib.profiler_calls() })
  end)
end)
