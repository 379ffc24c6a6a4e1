-- Module ac's hash functions and CacheDump as Lua sees them: the shapes of the
-- results, digests against the system's own tools, the codes of files that cannot
-- be read quietly, a file of another owner hashed without CAP_LEASE, and the archive of
-- CacheDump read back with Python's zipfile, entry by entry, byte by byte.
local ac = require "ac"
local testlib = require "testlib"
local raises, own_pid, find_fd = testlib.raises, testlib.own_pid, testlib.find_fd
local acdc = require "acdc"

local function pack(...) return { n = select("#", ...), ... } end

local function hex(s) return (s:gsub(".", function(c) return ("%02x"):format(c:byte()) end)) end

-- A result list with its digests in hex, so that a failure prints readably.
local function readable(r)
  local out = { n = r.n }
  for i = 1, r.n do out[i] = type(r[i]) == "string" and hex(r[i]) or r[i] end
  return out
end

describe("HashString and the path functions", function()
  it("HashString gives the 32-byte SHA-256 of every byte of the text", function()
    assert.are.same({ n = 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
      readable(pack(ac.HashString("abc"))))
    assert.are.equal("59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138", hex(ac.HashString("a\0b")))
    raises("bad argument #1 to 'HashString' (string expected, got table)", function() ac.HashString({}) end)
  end)

  -- Win32 paths on drive C, which both systems have: each function's own shape.
  it("give 2 for a missing file and 3 for a missing folder, no digests and 0 bytes", function()
    local file, folder = "C:\\acdc-no-such-file.bin", "C:\\acdc-no-such-folder\\file.bin"
    assert.are.same({ n = 1, 2 }, pack(ac.HashNull(file)))
    assert.are.same({ n = 3, 2, nil, 0 }, pack(ac.HashPrimary(file)))
    assert.are.same({ n = 4, 2, nil, nil, 0 }, pack(ac.HashSecondary(file)))
    assert.are.same({ n = 5, 3, nil, nil, nil, 0 }, pack(ac.HashAll(folder)))
    raises("bad argument #1 to 'HashNull' (string expected, got nil)", function() ac.HashNull(nil) end)
    raises("bad argument #1 to 'HashPrimary' (string expected, got table)", function() ac.HashPrimary({}) end)
    raises("bad argument #1 to 'HashSecondary' (string expected, got no value)", function() ac.HashSecondary() end)
    raises("bad argument #1 to 'HashAll' (string expected, got boolean)", function() ac.HashAll(true) end)
  end)
end)

describe("the path functions #linux", function()
  local folder

  setup(function()
    folder = os.tmpname()
    os.remove(folder)
    assert(os.execute("mkdir -m 755 " .. folder))
  end)

  teardown(function() os.execute("rm -rf " .. folder) end)

  local function write(name, content)
    local path = folder .. "/" .. name
    local f = assert(io.open(path, "wb"))
    f:write(content)
    f:close()
    return path
  end

  -- The system's own tool's digest of the file, in hex.
  local function tool(name, path)
    local p = assert(io.popen(("%s '%s'"):format(name, path)))
    local digest = p:read("*l"):match("^(%x+)")
    p:close()
    return digest
  end

  it("read a file once for all its digests, an empty one too", function()
    local parts = {}
    for i = 1, 3 * 65536 + 100 do parts[i] = string.char((i * 31 + math.floor(i / 65536)) % 256) end
    local path = write("chunks.bin", table.concat(parts))
    local md5, sha1, sha256 = tool("md5sum", path), tool("sha1sum", path), tool("sha256sum", path)
    assert.are.same({ n = 5, nil, md5, sha1, sha256, 196708 }, readable(pack(ac.HashAll(path))))
    assert.are.same({ n = 4, nil, md5, sha1, 196708 }, readable(pack(ac.HashSecondary(path))))
    assert.are.same({ n = 3, nil, sha256, 196708 }, readable(pack(ac.HashPrimary(path))))
    assert.are.same({ n = 1, nil }, pack(ac.HashNull(path)))
    assert.are.same({ n = 5, nil, "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 0 },
      readable(pack(ac.HashAll(write("empty", "")))))
  end)

  -- Without CAP_LEASE a process may lease only the files it owns. The test runs as
  -- root; its child keeps uid 0 without CAP_LEASE, so a file of nobody's is not its
  -- own and a file of root's is. (A child run as nobody would also need every folder
  -- on the way open to nobody, which a machine need not give.)
  it("give 32 to a process that neither owns the file nor may lease it", function()
    local theirs = write("theirs.txt", "abc")
    local own = write("own.txt", "abc")
    local script = write("without_lease.lua", [[
      local ac = require "ac"
      for _, path in ipairs(arg) do
        local code, digest, bytes = ac.HashPrimary(path)
        print(tostring(code) .. " " .. (digest and #digest or "nil") .. " " .. bytes)
      end]])
    -- chown leaks at its exit, which the sanitizers' preloaded leak check counts.
    assert(os.execute(("env -u LD_PRELOAD chown nobody %s"):format(theirs)))
    local p = assert(io.popen(("setpriv --inh-caps=-lease --bounding-set=-lease lua5.2 %s %s %s 2>&1")
      :format(script, theirs, own)))
    local out = p:read("*a")
    local ok = p:close()
    assert.are.equal("32 nil 0\nnil 32 3\n", out)
    assert.is_true(ok)
  end)
end)

describe("CacheDump #linux", function()
  local corelib
  local folder

  setup(function()
    corelib = require "corelib"
    folder = os.tmpname()
    os.remove(folder)
    assert(os.execute("mkdir -m 700 " .. folder))
  end)

  teardown(function() os.execute("rm -rf " .. folder) end)

  -- Each entry of the archive as Python's zipfile reads it: name, method and bytes.
  local function entries(path)
    local python = assert(os.getenv("PYTHON3"), "PYTHON3 is not set")
    local out_folder = path .. ".entries"
    assert(os.execute("mkdir " .. out_folder))
    local p = assert(io.popen(("env -u LD_PRELOAD %s tests/lua/zip_extract.py %s %s"):format(python, path, out_folder)))
    local out = {}
    for line in p:lines() do
      local name, method, size, file = line:match("^(.-)\t(%d+)\t(%d+)\t(.*)$")
      local f = assert(io.open(file, "rb"))
      out[#out + 1] = { name = name, method = tonumber(method), size = tonumber(size), bytes = f:read("*a") }
      f:close()
    end
    assert.is_true(p:close())
    return out
  end

  local function le(v, n)
    local bytes = {}
    for i = 1, n do
      bytes[i] = string.char(v % 256)
      v = math.floor(v / 256)
    end
    return table.concat(bytes)
  end

  -- The slot of a path: the low byte is the digest's second byte, the high byte its
  -- first, inverted when the second's top bit is set.
  local function slot_of(path)
    local d0, d1 = ac.HashString(path):byte(1, 2)
    return d1 + 256 * (d1 >= 128 and bit32.bxor(d0, 255) or d0)
  end

  it("writes the execution cache's slots and the drift record as ac/exec_cache and ac/drift", function()
    acdc.ClearCache()
    local verdicts = {
      { path = "c:\\windows\\notepad.exe", type = 1, numbers = { 0, 0, 0, 0 } },
      { path = "c:\\temp\\dropper.exe", type = 3, ruleset = "ruleset-12-0-7-65535", numbers = { 12, 0, 7, 65535 } },
      { path = "c:\\users\\a\\tool.exe", type = 2, numbers = { 0, 0, 0, 0 } },
    }
    local slots = {}
    for _, v in ipairs(verdicts) do
      acdc.AddToCache(v.path, v.type, v.ruleset)
      v.slot = slot_of(v.path)
      assert.is_nil(slots[v.slot], "two verdicts share a slot")
      slots[v.slot] = v
    end
    table.sort(verdicts, function(a, b) return a.slot < b.slot end)
    local exec, at = {}, 0
    for _, v in ipairs(verdicts) do
      exec[#exec + 1] = ("\0"):rep(44 * (v.slot - at))
      exec[#exec + 1] = ac.HashString(v.path)
      for _, n in ipairs(v.numbers) do exec[#exec + 1] = le(n, 2) end
      exec[#exec + 1] = le(v.type, 4)
      at = v.slot + 1
    end
    exec[#exec + 1] = ("\0"):rep(44 * (65536 - at))

    -- Three pairs tracked, the oldest closed, and a name captured for the newest.
    local named = (os.getenv("ACDC_DRIVE_C") or "") .. "/Dump Name.TXT"
    local file = assert(io.open(named, "w"))
    local fd = find_fd("Dump Name.TXT")
    assert.is_number(fd)
    acdc.DriftClear()
    acdc.DriftOpen(10, 3)
    acdc.DriftOpen(11, -4)
    acdc.DriftOpen(own_pid(), fd)
    assert.are.same({ true, false }, { acdc.DriftClose(10, 3) })
    assert.are.equal(0, select("#", acdc.DriftDupTrackPossibleClose(own_pid(), 9999, fd)))
    local s = acdc.DriftStats()
    assert.are.same({ 3, 3, 1, 1, 2, 1, 3 }, { s.track, s.open, s.found, s.dupname, s.current, s.total - s.current,
      s.total })
    local drift = {}
    for _, name in ipairs { "track", "open", "overflow", "losttrack", "lostcheck", "found", "notfound", "dirt",
      "newfilter", "condfound", "condopen", "dup", "dupmiss", "dupname", "dupnamefail", "dupnamemiss",
      "dupnamenomem", "iterations" } do
      drift[#drift + 1] = le(s[name], 8)
    end
    local name = "C:\\Dump Name.TXT"
    drift[#drift + 1] = le(0, 8) .. le(1, 8) .. le(3, 8)
    drift[#drift + 1] = le(11, 4) .. le(2 ^ 32 - 4, 4) .. le(2 ^ 32 - 1, 4)
    drift[#drift + 1] = le(own_pid(), 4) .. le(fd, 4) .. le(#name, 4) .. name

    local path = folder .. "/dump.zip"
    local stream = assert(corelib.zip(path))
    assert.are.same({ n = 0 }, pack(ac.CacheDump(stream)))
    assert.is_true(stream:close())
    file:close()
    os.remove(named)
    acdc.DriftClear()
    acdc.ClearCache()

    local got = entries(path)
    assert.are.same({ "ac/exec_cache", "ac/drift" }, { got[1].name, got[2].name })
    assert.are.equal(2, #got)
    assert.are.same({ 8, 2883584 }, { got[1].method, got[1].size })
    assert.is_true(got[1].bytes == table.concat(exec), "exec_cache differs")
    assert.are.equal(8, got[2].method)
    assert.are.equal(hex(table.concat(drift)), hex(got[2].bytes))
  end)

  it("ignores anything but an open zip output stream", function()
    acdc.AddToCache("c:\\x.exe", 1)
    local path = folder .. "/ignored.zip"
    local stream = assert(corelib.zip(path))
    for _, v in ipairs { corelib.dom(folder, true), "stream", io.stdout } do
      assert.are.same({ n = 0 }, pack(ac.CacheDump(v)))
    end
    assert.is_true(stream:close())
    assert.are.same({ n = 0 }, pack(ac.CacheDump(stream)))  -- closed by now
    assert.are.same({}, entries(path))
    acdc.ClearCache()
  end)
end)
