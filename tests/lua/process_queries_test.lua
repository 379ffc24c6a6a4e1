-- GetProcNameFromPid, GetRealPath, GetFileNameFromPidAndFd. The own image's path is
-- checked natively in process_test.
local acdc = require "acdc"

-- On Windows a triple carries the system's own message text, and Wine's texts are not
-- Windows' ("Invalid parameter."): there the text is checked for its shape, one line
-- between the context and the code, and put in the expected text's place. The native
-- tests compare the lookup itself with FormatMessageW.
local windows = package.config:sub(1, 1) == "\\"
local function with_text(triple, text)
  if windows and type(triple[3]) == "string" then
    triple[3] = triple[3]:gsub("^([^ ]*): %S[^\r\n]* (%(%-?%d+%))$", "%1: " .. text .. " %2")
  end
  return triple
end

describe("GetProcNameFromPid", function()
  it("returns the error triple of OpenProcess with the pid as the lookup took it, signed", function()
    -- The lookup takes the low 32 bits of the number; the message prints them signed.
    local cases = {
      { 0, "0" }, { 999999999, "999999999" }, { -1, "-1" }, { -2, "-2" }, { 2 ^ 32 - 2, "-2" },
      { 2 ^ 40, "0" }, { 0 / 0, "0" }, { math.huge, "-1" },
    }
    for _, case in ipairs(cases) do
      local want = "l_GetProcNameFromPid:" .. case[2] .. ":OpenProcess: The parameter is incorrect. (87)"
      local got = with_text({ acdc.GetProcNameFromPid(case[1]) }, "The parameter is incorrect.")
      assert.are.same({ nil, 87, want }, got, "pid " .. case[1])
    end
  end)

  it("raises for a pid that is not a number", function()
    for _, pid in ipairs { "x", {}, true } do
      local ok, err = pcall(function() return acdc.GetProcNameFromPid(pid) end)
      assert.is_false(ok)
      assert.matches("bad argument #1 to 'GetProcNameFromPid' %(number expected", err)
    end
  end)
end)

describe("GetRealPath and GetFileNameFromPidAndFd", function()
  it("GetRealPath returns its second argument unchanged, nil when absent", function()
    assert.are.equal("C:\\Some\\Path.TXT", acdc.GetRealPath(1, "C:\\Some\\Path.TXT"))
    assert.is_nil(acdc.GetRealPath())
    local t = {}
    assert.are.equal(t, acdc.GetRealPath(nil, t, "extra"))
    assert.are.equal(1, select("#", acdc.GetRealPath(1, 2, 3)))
  end)

  it("GetFileNameFromPidAndFd is not supported", function()
    assert.are.same({ false, "Not supported" }, { pcall(acdc.GetFileNameFromPidAndFd, 1, 2) })
  end)
end)
