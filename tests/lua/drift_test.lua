-- The drift-tracking functions of module acdc against the real process and
-- descriptor queries. Process ids of 2^31 and above are never processes.
local acdc = require "acdc"
local testlib = require "testlib"
local raises, own_pid, find_fd = testlib.raises, testlib.own_pid, testlib.find_fd

local GONE = 4000000000

local function filter_reply(pid_size, fd_size, carried)
  local function u32(v)
    return string.char(v % 256, math.floor(v / 256) % 256, math.floor(v / 65536) % 256, math.floor(v / 16777216))
  end
  return ("\0"):rep(8) .. u32(pid_size) .. u32(fd_size) .. (carried or "\1\2\3\4")
end

before_each(function() acdc.DriftClear() end)

describe("DriftOpen and DriftClose", function()
  it("track the same pair twice and close it once per open", function()
    acdc.DriftOpen(10, 3)
    acdc.DriftOpen(10, 3)
    assert.are.equal(2, acdc.DriftStats().current)
    assert.are.same({ true, false }, { acdc.DriftClose(10, 3) })
    assert.are.equal(1, acdc.DriftStats().current)
    assert.are.same({ true, false }, { acdc.DriftClose(10, 3) })
    assert.are.equal(0, acdc.DriftStats().current)
    assert.are.same({ false, false }, { acdc.DriftClose(10, 3) })
  end)

  it("ask for a fresh filter after more than 256 missed closes", function()
    assert.is_string(acdc.DriftFreshFilter(filter_reply(32, 32)))
    for fd = 1, 256 do
      local found, refresh = acdc.DriftClose(5, fd)
      assert.is_false(found)
      assert.is_false(refresh)
    end
    assert.are.same({ false, true }, { acdc.DriftClose(5, 257) })
    acdc.DriftFreshFilter(filter_reply(32, 32))
    assert.are.equal(0, acdc.DriftStats().dirt)
    assert.are.same({ false, false }, { acdc.DriftClose(5, 1) })
  end)

  it("check pids and descriptors on their whole value", function()
    raises("bad argument #1 to 'DriftOpen' (pid out of range)", function() acdc.DriftOpen(2 ^ 32 + 12, 1) end)
    raises("bad argument #1 to 'DriftOpen' (pid out of range)", function() acdc.DriftOpen(-1, 1) end)
    raises("bad argument #2 to 'DriftClose' (descriptor out of range)", function() acdc.DriftClose(1, 2 ^ 31) end)
    raises("bad argument #3 to 'DriftDup' (descriptor out of range)", function() acdc.DriftDup(1, 2, -2 ^ 31 - 1) end)
    raises("bad argument #2 to 'DriftCondOpen' (number expected, got no value)", function() acdc.DriftCondOpen(1) end)
    raises("bad argument #1 to 'DriftDupTrackPossibleClose' (number expected, got string)",
      function() acdc.DriftDupTrackPossibleClose("x", 1, 2) end)
    assert.are.equal(0, acdc.DriftStats().total)
    -- The extremes fit, and 12 is not 2^32 + 12.
    acdc.DriftOpen(2 ^ 32 - 1, -2 ^ 31)
    acdc.DriftOpen(12, 2 ^ 31 - 1)
    assert.are.same({ false, false }, { acdc.DriftClose(12, -2 ^ 31) })
    assert.are.same({ true, false }, { acdc.DriftClose(2 ^ 32 - 1, -2 ^ 31) })
    assert.are.same({ true, false }, { acdc.DriftClose(12.9, 2 ^ 31 - 1) })
  end)
end)

describe("a full table", function()
  it("asks the system which processes have gone #linux", function()
    for fd = 1, 40 do acdc.DriftOpen(GONE + fd, fd) end
    for fd = 41, 64 do acdc.DriftOpen(own_pid(), fd) end
    acdc.DriftOpen(own_pid(), 65)
    local s = acdc.DriftStats()
    assert.are.equal(1, s.lostcheck)
    assert.are.equal(40, s.losttrack)
    assert.are.equal(25, s.current)
    assert.are.same({ true, false }, { acdc.DriftClose(own_pid(), 41) })
  end)

end)

describe("DriftDup and DriftDupTrackPossibleClose", function()
  local path = (os.getenv("ACDC_DRIVE_C") or "") .. "/Drift Lua.TXT"

  it("return nothing for a tracked descriptor and a lone false or nil for an untracked one", function()
    assert.are.same({ n = 1, false }, table.pack(acdc.DriftDupTrackPossibleClose(10, 3, 5)))
    assert.are.same({ n = 1, nil }, table.pack(acdc.DriftDup(10, 3, 5)))
    acdc.DriftOpen(10, 3)
    assert.are.equal(0, select("#", acdc.DriftDupTrackPossibleClose(10, 3, 5)))
    assert.are.same({ nil, true }, { acdc.DriftDup(10, 3, 5) })
    assert.are.same({ true, false }, { acdc.DriftClose(10, 5) })
  end)

  it("hand back the Win32 name of the file a duplication closed #linux", function()
    local f = assert(io.open(path, "w"))
    local fd = find_fd(function(target) return target:find("Drift Lua.TXT", 1, true) end)
    assert.is_number(fd)
    acdc.DriftOpen(own_pid(), fd)
    assert.are.equal(0, select("#", acdc.DriftDupTrackPossibleClose(own_pid(), 9999, fd)))
    assert.are.same({ n = 1, "C:\\Drift Lua.TXT" }, table.pack(acdc.DriftDup(own_pid(), 9999, fd)))
    f:close()
    os.remove(path)
    assert.are.equal(1, acdc.DriftStats().dupname)
  end)

  it("count a descriptor that names no file as a failed lookup #linux", function()
    local p = io.popen("true")
    local fd = find_fd(function(target) return target:match("^pipe:") end)
    assert.is_number(fd)
    acdc.DriftOpen(own_pid(), fd)
    acdc.DriftDupTrackPossibleClose(own_pid(), 9999, fd)
    assert.are.same({ n = 1, nil }, table.pack(acdc.DriftDup(own_pid(), 9999, fd)))
    p:close()
    local s = acdc.DriftStats()
    assert.are.equal(1, s.dupnamefail)
    assert.are.equal(0, s.dupname)
  end)
end)

describe("DriftFreshFilter", function()
  it("builds the 84-byte request with one bit per pid and descriptor", function()
    acdc.DriftOpen(300, 9)     -- pid bit 44: byte 5, bit 4; descriptor bit 9: byte 1, bit 1
    acdc.DriftOpen(4, 256 + 9) -- pid bit 4, the same descriptor bit
    acdc.DriftOpen(4, -1)      -- descriptor bit 255: its low byte
    local request = acdc.DriftFreshFilter(filter_reply(32, 32, "wxyz"))
    assert.are.equal(84, #request)
    assert.are.equal('"setfilefilter"\0wxyz', request:sub(1, 20))
    local expected = "\16\0\0\0\0\16" .. ("\0"):rep(26) .. "\0\2" .. ("\0"):rep(29) .. "\128"
    assert.are.equal(expected, request:sub(21))
  end)

  it("refuses short replies and map sizes other than 32", function()
    assert.are.same({ nil, "missing getfilefilter args (19)" }, { acdc.DriftFreshFilter(("\0"):rep(19)) })
    assert.are.same({ nil, "missing getfilefilter args (5)" }, { acdc.DriftFreshFilter(12345) })
    assert.are.same({ nil, "pidsize 64 != 32" }, { acdc.DriftFreshFilter(filter_reply(64, 32)) })
    acdc.DriftClose(1, 1)
    assert.are.same({ nil, "fdsize -1 != 32" }, { acdc.DriftFreshFilter(filter_reply(32, 2 ^ 32 - 1)) })
    -- A refused reply still counts as a new filter and makes the old one fresh.
    assert.are.equal(2, acdc.DriftStats().newfilter)
    assert.are.equal(0, acdc.DriftStats().dirt)
  end)

  it("passes a failed command's results through", function()
    assert.are.same({ n = 2, nil, "missing getFileFilter" }, table.pack(acdc.DriftFreshFilter()))
    assert.are.same({ n = 2, nil, "missing getFileFilter" }, table.pack(acdc.DriftFreshFilter({})))
    assert.are.same({ n = 3, nil, "timeout", 258 }, table.pack(acdc.DriftFreshFilter(nil, "timeout", 258)))
    assert.are.equal(0, acdc.DriftStats().newfilter)
  end)
end)

describe("DriftStats", function()
  it("reports every counter and the table's size", function()
    acdc.DriftOpen(1, 1)
    local keys = {}
    for k in pairs(acdc.DriftStats()) do keys[#keys + 1] = k end
    table.sort(keys)
    assert.are.same({ "condfound", "condopen", "cooldown", "current", "dirt", "dup", "dupmiss", "dupname",
      "dupnamefail", "dupnamemiss", "dupnamenomem", "found", "iterations", "lostcheck", "losttrack", "max",
      "newfilter", "notfound", "open", "overflow", "total", "track" }, keys)
    acdc.DriftClear()
    for k, v in pairs(acdc.DriftStats()) do
      assert.are.equal(k == "max" and 64 or 0, v)
    end
  end)
end)
