-- The classification functions of module acdc and the process-type cache of module
-- ac: what the bindings convert, refuse and return (the rules themselves are tested
-- natively).
local acdc = require "acdc"
local testlib = require "testlib"
local raises = testlib.raises
local ac = require "ac"

local function pack(...) return { n = select("#", ...), ... } end

-- `raises` gets a function that makes the call from Lua code, so that the error
-- names the function; the position of that call is left out of the comparison.
describe("GetProcessInterpreterType", function()
  before_each(function() ac.ClearProcessCache() end)

  it("gives the type and skip flag, 1 alone for an ordinary executable, nothing for no 'exe'", function()
    assert.are.same({ n = 2, 8, false },
      pack(acdc.GetProcessInterpreterType(4100, "C:\\Windows\\System32\\WindowsPowerShell\\PowerShell.exe")))
    assert.are.equal(8, ac.GetProcess(4100, "powershell.exe"))
    assert.are.same({ n = 1, 1 }, pack(acdc.GetProcessInterpreterType(4102, "C:\\x\\notepad.exe")))
    assert.are.same({ n = 0 }, pack(acdc.GetProcessInterpreterType(4103, "C:\\Tools\\CMD.EXE")))
  end)

  it("refuses pids outside 0 to 2^32 - 1 and paths that do not fit", function()
    for _, pid in ipairs { -1, 2 ^ 32, 0 / 0, math.huge } do
      raises("bad argument #1 to 'GetProcessInterpreterType' (pid out of range)",
        function() acdc.GetProcessInterpreterType(pid, "C:\\x\\cmd.exe") end)
    end
    raises("bad argument #2 to 'GetProcessInterpreterType' (path is longer than 4095 bytes)",
      function() acdc.GetProcessInterpreterType(1, "C:\\" .. ("a"):rep(4089) .. ".exe") end)
    assert.are.same({ n = 2, 9, false },
      pack(acdc.GetProcessInterpreterType(2 ^ 32 - 1, "C:\\" .. ("a"):rep(4084) .. "\\cmd.exe")))
  end)
end)

describe("type index tests", function()
  it("answer false for indexes that are not rows, 2^32 + 12 included", function()
    assert.is_true(acdc.IsPrelink(12.9))
    assert.is_false(acdc.IsPrelink(13))
    for _, index in ipairs { -1, 34, 2 ^ 32 + 12, -(2 ^ 32) + 12, 2 ^ 64, 0 / 0 } do
      assert.is_false(acdc.IsPrelink(index), tostring(index))
      assert.is_false(acdc.IsTrustedPath(index, "C:\\Users\\A\\AppData\\Local\\Temp\\x.ps1"), tostring(index))
      assert.is_false(acdc.IsExtensionInterpreted(index, "ps1"), tostring(index))
    end
    assert.is_true(acdc.IsTrustedPath(8, "C:\\Users\\A\\AppData\\Local\\Temp\\x.ps1"))
    assert.is_true(acdc.IsExtensionInterpreted(8, "ps1"))
  end)

  it("raise the argument errors for what is not a number or a string", function()
    raises("bad argument #1 to 'IsPrelink' (number expected, got string)",
      function() acdc.IsPrelink("x") end)
    raises("bad argument #1 to 'IsTrustedPath' (number expected, got no value)",
      function() acdc.IsTrustedPath() end)
    raises("bad argument #2 to 'IsTrustedPath' (string expected, got nil)",
      function() acdc.IsTrustedPath(8, nil) end)
    raises("bad argument #2 to 'IsExtensionInterpreted' (string expected, got table)",
      function() acdc.IsExtensionInterpreted(8, {}) end)
    raises("bad argument #2 to 'IsTrustedPath' (path is longer than 4095 bytes)",
      function() acdc.IsTrustedPath(8, ("\\temp\\"):rep(683)) end)
  end)

  it("take quickIMFilter's path, extension and prefixes in that order", function()
    assert.is_true(acdc.quickIMFilter("C:\\data\\x.txt", "txt", "C:\\data;D:\\"))
    assert.is_false(acdc.quickIMFilter("C:\\data\\x.txt", "txt", ""))
    assert.is_true(acdc.quickIMFilter("C:\\data\\x.txt", "DLL", ""))
  end)
end)

describe("module ac's process-type cache", function()
  before_each(function() ac.ClearProcessCache() end)

  local function delta(fn) return testlib.delta(ac.ProcCacheStats, fn) end

  it("returns nothing from a store, a removal or a miss, and never counts a pid that is no number", function()
    assert.are.same({ n = 0 }, pack(ac.AddProcess(5, 8, "powershell.exe")))
    assert.are.equal(8, ac.GetProcess(5, "powershell.exe"))
    assert.are.same({ n = 0 }, pack(ac.GetProcess(5, "cmd.exe")))
    assert.are.same({ n = 0 }, pack(ac.RemoveProcess(5)))
    assert.are.same({}, delta(function()
      assert.are.same({ n = 0 }, pack(ac.GetProcess("12", "x.exe")))
      assert.are.same({ n = 0 }, pack(ac.GetProcess(nil, "x.exe")))
    end))
  end)

  it("keeps a negative type as itself and refuses values past 32 bits", function()
    ac.AddProcess(77, -1, "odd.exe")
    assert.are.equal(-1, ac.GetProcess(77, "odd.exe"))
    raises("bad argument #2 to 'AddProcess' (out of the signed 32-bit range)",
      function() ac.AddProcess(1, 2 ^ 31, "x") end)
    raises("bad argument #1 to 'AddProcess' (pid out of range)",
      function() ac.AddProcess(2 ^ 32 + 12, 3, "x") end)
    raises("bad argument #1 to 'RemoveProcess' (out of the signed 32-bit range)",
      function() ac.RemoveProcess(2 ^ 32 + 12) end)
    raises("bad argument #1 to 'GetProcess' (pid out of range)",
      function() ac.GetProcess(-4, "x") end)
    raises("bad argument #3 to 'AddProcess' (string expected, got no value)",
      function() ac.AddProcess(1, 2) end)
    -- A negative pid stays itself: it does not remove 12.
    ac.AddProcess(12, 3, "python.exe")
    assert.are.same({ procremovemiss = 1 }, delta(function() ac.RemoveProcess(-2 ^ 31 + 12) end))
    assert.are.equal(3, ac.GetProcess(12, "python.exe"))
  end)

  it("reports seven counters modulo 2^32", function()
    local keys = {}
    for k, v in pairs(ac.ProcCacheStats()) do
      keys[#keys + 1] = k
      assert.is_true(v >= 0 and v < 2 ^ 32 and v % 1 == 0)
    end
    table.sort(keys)
    assert.are.same({ "procadd", "procchange", "procclear", "prochit", "procmiss", "procremovehit", "procremovemiss" },
      keys)
    assert.are.same({ procclear = 1 }, delta(ac.ClearProcessCache))
  end)
end)
