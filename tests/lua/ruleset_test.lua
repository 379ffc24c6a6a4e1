-- DecryptRuleset: known answers (on Windows too), the options and their errors, and
-- on Linux the interoperability matrix with `openssl enc` and zlib (pigz -z and
-- Python's zlib), wrong keys and ciphers, cut, corrupted and extended files.
local ac = require "ac"

local windows = package.config:sub(1, 1) == "\\"

local function fromhex(h) return (h:gsub("..", function(x) return string.char(tonumber(x, 16)) end)) end
local function tohex(s) return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end)) end

-- Fixtures are made at test time: in the build folder on Linux, in TEMP under Wine.
local scratch
if windows then
  scratch = assert(os.getenv("TEMP"), "TEMP is not set") .. "\\acdc-ruleset"
  os.execute('mkdir "' .. scratch .. '" 2>NUL')
  scratch = scratch .. "\\"
else
  scratch = assert(os.getenv("ACDC_TEST_OUT"), "ACDC_TEST_OUT is not set") .. "/ruleset"
  assert(os.execute("mkdir -p '" .. scratch .. "'"))
  scratch = scratch .. "/"
end

local function write(name, data)
  local f = assert(io.open(scratch .. name, "wb"))
  f:write(data)
  f:close()
  return scratch .. name
end

local function read(path)
  local f = assert(io.open(path, "rb"))
  local data = f:read("*a")
  f:close()
  return data
end

-- Its messages are raised whole, with no position in front (testlib.raises would
-- take one off).
local function raises(message, call)
  local ok, err = pcall(call)
  assert.is_false(ok)
  assert.are.equal(message, err)
end

-- The crypto library's codes, packed: the providers' (57), EVP's (6) and the
-- compression library's (41), each shifted left by 23 beside its reason.
local BAD_DECRYPT = "Failed to read ruleset: bad decrypt (478150756)"
local WRONG_FINAL_BLOCK = "Failed to read ruleset: wrong final block length (478150763)"
local INFLATE = "Failed to read ruleset: zlib inflate error (343933028)"

-- A rule set with a CR LF, a NUL and a ^Z: a file opened in text mode on Windows
-- would lose or change them.
local KNOWN_PLAIN = fromhex("616c6c6f7720433a5c546f6f6c735c2a2e6578650d0a626c6f636b202554454d50255c2a2e7073310a001a656e640a")
local KNOWN_ZLIB = fromhex("78da4bccc9c92f5770b68a09c9cfcf298ed1d24bad48e5e54acac94fce56500d71f50d50058a15141b723148a5e6a57001006f840e0f")
-- KNOWN_ZLIB enciphered with aes-256-cbc, key 00..1f, IV 0f..00.
local KNOWN_AES_ZLIB = fromhex("c6560fd8445027689cf305f91d8b12b146242b842bd7b5220602c0852c788bf9503aa80d830767a3d67bb27c639ff4b85e1a62c68985343294b322193542696b")
local AES_KEY = fromhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")
local AES_IV = fromhex("0f0e0d0c0b0a09080706050403020100")
-- KNOWN_PLAIN enciphered with bf-cbc (a legacy provider's cipher), key 0011..ff, IV 00..07.
local KNOWN_BF = fromhex("46fb1cdae1fda71bb6322ab811e5aea9839f1476144445fbeffc4a7a9af13b5bc478315aebec218db3627a8eb78601db")
local BF_KEY = fromhex("00112233445566778899aabbccddeeff")
local BF_IV = fromhex("0001020304050607")

describe("known answers", function()
  it("reads a file unchanged without options, byte for byte, and an empty one as the empty string", function()
    local all = {}
    for i = 0, 255 do all[#all + 1] = string.char(i) end
    local bytes = table.concat(all) .. "\r\n\n\r" .. table.concat(all):reverse()
    assert.are.equal(bytes, ac.DecryptRuleset(write("all-bytes", bytes), {}))
    assert.are.equal("", ac.DecryptRuleset(write("empty", ""), { encalg = "none", comp = "null" }))
  end)

  it("inflates, decrypts, and decrypts then inflates", function()
    assert.are.equal(KNOWN_PLAIN, ac.DecryptRuleset(write("known.z", KNOWN_ZLIB), { comp = "zlib" }))
    assert.are.equal(KNOWN_PLAIN, ac.DecryptRuleset(write("known.z", KNOWN_ZLIB), { comp = "z" }))
    assert.are.equal(KNOWN_PLAIN, ac.DecryptRuleset(write("known.aes.z", KNOWN_AES_ZLIB),
      { encalg = "aes-256-cbc", key = AES_KEY, iv = AES_IV, comp = "zlib" }))
    assert.are.equal(KNOWN_PLAIN, ac.DecryptRuleset(write("known.bf", KNOWN_BF),
      { encalg = "bf-cbc", key = BF_KEY, iv = BF_IV }))
  end)

  it("ignores key and IV without a cipher, and takes absent, empty, none and null as no layer", function()
    local path = write("known.z", KNOWN_ZLIB)
    for _, none in ipairs { "", "none", "null" } do
      assert.are.equal(KNOWN_PLAIN, ac.DecryptRuleset(path, { encalg = none, key = "k", iv = "", comp = "zlib" }))
      assert.are.equal(KNOWN_ZLIB, ac.DecryptRuleset(path, { comp = none }))
    end
  end)

  it("fails a wrong key of a padded mode with the cipher's text, and the inflate error after it", function()
    local wrong = AES_KEY:sub(2) .. "\0"
    raises(BAD_DECRYPT, function()
      ac.DecryptRuleset(write("known.aes.z", KNOWN_AES_ZLIB), { encalg = "aes-256-cbc", key = wrong, iv = AES_IV, comp = "zlib" })
    end)
    -- Decrypted right, the text is no zlib stream.
    raises(INFLATE, function()
      ac.DecryptRuleset(write("known.bf", KNOWN_BF), { encalg = "bf-cbc", key = BF_KEY, iv = BF_IV, comp = "zlib" })
    end)
  end)
end)

describe("options", function()
  local path
  setup(function() path = write("known.z", KNOWN_ZLIB) end)

  it("wants a string path and a table of options", function()
    raises("Expected table of options", function() ac.DecryptRuleset(path) end)
    raises("Expected table of options", function() ac.DecryptRuleset(path, "zlib") end)
    local ok, err = pcall(function() ac.DecryptRuleset() end)
    assert.is_false(ok)
    assert.are.equal("bad argument #1 to 'DecryptRuleset' (string expected, got no value)", (err:gsub("^.-:%d+: ", "")))
  end)

  -- A recording table shows which option fields were read, and in what order.
  it("opens the file before it reads an option, and reads key and iv only for a cipher", function()
    local function recording(fields)
      local seen = {}
      return setmetatable({}, { __index = function(_, k) seen[#seen + 1] = k return fields[k] end }), seen
    end
    local missing = scratch .. "no-such-ruleset"
    local cipher, seen = recording { encalg = "aes-256-cbc", key = AES_KEY, iv = AES_IV, comp = "zlib" }
    raises("Failed to open " .. missing, function() ac.DecryptRuleset(missing, cipher) end)
    assert.are.same({}, seen)
    raises("Failed to open " .. path .. "\0x", function() ac.DecryptRuleset(path .. "\0x", {}) end)
    assert.are.equal(KNOWN_PLAIN, ac.DecryptRuleset(write("known.aes.z", KNOWN_AES_ZLIB), cipher))
    assert.are.same({ "encalg", "key", "iv", "comp" }, seen)
    local none, seen_none = recording { encalg = "none", key = "k", iv = "v", comp = "zlib" }
    assert.are.equal(KNOWN_PLAIN, ac.DecryptRuleset(path, none))
    assert.are.same({ "encalg", "comp" }, seen_none)
    -- The open file then belongs to the collector, which closes it.
    local raising = setmetatable({}, { __index = function(_, k) error("no " .. k, 0) end })
    raises("no encalg", function() ac.DecryptRuleset(path, raising) end)
    collectgarbage()
  end)

  it("names the cipher it cannot find and both lengths that do not match; takes only z and zlib, after the cipher",
    function()
      for message, options in pairs {
        ["Unknown encryption cipher 'rot13'"] = { encalg = "rot13", comp = "gzip" },
        ["Unknown encryption cipher 'aes-256-cbc\0x'"] = { encalg = "aes-256-cbc\0x" },
        ["Key length (16) does not match cipher 'aes-256-cbc' (32)"] =
          { encalg = "aes-256-cbc", key = AES_KEY:sub(1, 16), iv = AES_IV },
        ["Key length (0) does not match cipher 'aes-256-cbc' (32)"] = { encalg = "aes-256-cbc", key = {}, iv = AES_IV },
        ["IV length (0) does not match cipher 'aes-256-cbc' (16)"] = { encalg = "aes-256-cbc", key = AES_KEY },
        ["IV length (16) does not match cipher 'aes-256-ecb' (0)"] = { encalg = "aes-256-ecb", key = AES_KEY, iv = AES_IV },
      } do
        raises(message, function() ac.DecryptRuleset(path, options) end)
      end
      for _, comp in ipairs { "gzip", "Z", "ZLIB", "deflate", "5", 5 } do
        raises("Unsupported compression: " .. comp, function() ac.DecryptRuleset(path, { comp = comp }) end)
      end
    end)
end)

-- Every cut and trailing byte is tried below Lua; here the message, on Windows too.
describe("compressed files that are not whole", function()
  it("fails a cut stream, bytes after the stream and a corrupted stream", function()
    local flipped = KNOWN_ZLIB:sub(1, 9) .. string.char(255 - KNOWN_ZLIB:byte(10)) .. KNOWN_ZLIB:sub(11)
    for _, z in ipairs { KNOWN_ZLIB:sub(1, -5), KNOWN_ZLIB .. "\n", flipped } do
      raises(INFLATE, function() ac.DecryptRuleset(write("bad.z", z), { comp = "zlib" }) end)
    end
  end)
end)

-- Everything below runs the crypto library's own command line and zlib producers.
describe("interoperability #linux", function()
  -- The sanitizer build preloads its runtimes into lua5.2; the tools need none.
  local function sh(command)
    local ok = os.execute("unset LD_PRELOAD; " .. command)
    return ok == true or ok == 0
  end

  local function capture(command)
    local p = assert(io.popen("unset LD_PRELOAD; " .. command))
    local out = p:read("*a")
    p:close()
    return out
  end

  local OPENSSL = "openssl"
  local PROVIDERS = " -provider legacy -provider default"

  -- A rule set of about 20 KB: lines of rules with every byte value among them.
  local plain
  setup(function()
    assert.is_true(sh("command -v openssl >/dev/null && command -v pigz >/dev/null"), "openssl and pigz are needed")
    local python = assert(os.getenv("PYTHON3"), "PYTHON3 is not set")
    local lines, all = {}, {}
    for i = 0, 255 do all[#all + 1] = string.char(i) end
    for i = 1, 400 do lines[#lines + 1] = string.format("rule %d allow C:\\Program Files\\App%d\\*.exe\r\n", i, i % 37) end
    lines[#lines + 1] = table.concat(all)
    plain = table.concat(lines) .. "end"
    write("plain", plain)
    assert.is_true(sh("pigz -z -c '" .. scratch .. "plain' > '" .. scratch .. "plain.pigz'"))
    assert.is_true(sh(python .. " -c \"import sys, zlib; open(sys.argv[2], 'wb').write(zlib.compress(open(sys.argv[1], 'rb').read(), 6))\" '"
      .. scratch .. "plain' '" .. scratch .. "plain.py'"))
  end)

  -- The key and IV lengths of a cipher, as `openssl enc -P` prints them.
  local function lengths(name)
    local out = capture(OPENSSL .. " enc -" .. name .. " -P -pass pass:x -nosalt" .. PROVIDERS .. " 2>/dev/null")
    local key = assert(out:match("key=(%x*)"), name .. ": no key printed")
    return #key / 2, #(out:match("iv =(%x*)") or "") / 2
  end

  local rng = 7
  local function bytes(n)
    local t = {}
    for i = 1, n do
      rng = (rng * 1103515245 + 12345) % 2147483648
      t[i] = string.char(math.floor(rng / 65536) % 256)
    end
    return table.concat(t)
  end

  local function encrypt(name, key, iv, from, to)
    local ivarg = #iv > 0 and " -iv " .. tohex(iv) or ""
    return sh(OPENSSL .. " enc -" .. name .. PROVIDERS .. " -K " .. tohex(key) .. ivarg .. " -in '" .. scratch .. from
      .. "' -out '" .. scratch .. to .. "' 2>/dev/null")
  end

  it("decrypts every cipher openssl enc offers, with and without zlib, to the exact bytes", function()
    local names = {}
    for name in capture(OPENSSL .. " enc -list"):gmatch("%-(%S+)") do names[#names + 1] = name end
    assert.are.equal(141, #names)
    local wrap, round_trips, padded, stream = 0, 0, 0, 0
    for i, name in ipairs(names) do
      local key_len, iv_len = lengths(name)
      local key, iv = bytes(key_len), bytes(iv_len)
      local zfile = i % 2 == 0 and "plain.pigz" or "plain.py"
      if name:find("wrap") then
        -- Wrap modes take the whole text in one step; openssl enc refuses them, or
        -- makes a file that no stream of blocks can read back.
        wrap = wrap + 1
        if encrypt(name, key, iv, "plain", "enc") then
          local ok, err = pcall(ac.DecryptRuleset, scratch .. "enc", { encalg = name, key = key, iv = iv })
          assert.is_false(ok, name)
          assert.truthy(err:find("^Failed to read ruleset: [%w ]+ %(%d+%)$"), err)
        end
      else
        assert(encrypt(name, key, iv, "plain", "enc"), name)
        assert(encrypt(name, key, iv, zfile, "enc.z"), name)
        local options = { encalg = name, key = key, iv = iv }
        assert.are.equal(plain, ac.DecryptRuleset(scratch .. "enc", options), name)
        options.comp = "zlib"
        assert.are.equal(plain, ac.DecryptRuleset(scratch .. "enc.z", options), name)
        round_trips = round_trips + 1
        -- A wrong key: a padded mode fails at its final block, a compressed file in
        -- any mode fails to inflate.
        local wrong = { encalg = name, key = string.char(255 - key:byte(1)) .. key:sub(2), iv = iv }
        local enciphered = read(scratch .. "enc")
        if #enciphered > #plain then
          padded = padded + 1
          raises(BAD_DECRYPT, function() ac.DecryptRuleset(scratch .. "enc", wrong) end)
          wrong.comp = "zlib"
          raises(BAD_DECRYPT, function() ac.DecryptRuleset(scratch .. "enc.z", wrong) end)
        else
          stream = stream + 1
          -- Stream modes cannot tell a wrong key without compression: the text comes back garbled.
          local garbled = ac.DecryptRuleset(scratch .. "enc", wrong)
          assert.are.equal(#plain, #garbled)
          assert.are_not.equal(plain, garbled)
          wrong.comp = "zlib"
          raises(INFLATE, function() ac.DecryptRuleset(scratch .. "enc.z", wrong) end)
        end
      end
    end
    assert.are.equal(130, round_trips)
    assert.are.equal(11, wrap)
    assert.are.equal(130, padded + stream)
    assert.is_true(padded > 0 and stream > 0)
  end)

  -- Fixed inputs: `plain` ends in "...end", enciphered with aes-256-cbc under key
  -- 01 x 32 and IV 02 x 16; `plain.pigz` with aes-256-ctr under the same.
  it("fails cut or corrupted files: mid-block always, at a block boundary as padding or inflation tells", function()
    local key, iv = string.rep("\1", 32), string.rep("\2", 16)
    assert.is_true(encrypt("aes-256-cbc", key, iv, "plain", "enc"))
    local whole = read(scratch .. "enc")
    local cbc = { encalg = "aes-256-cbc", key = key, iv = iv }
    raises(WRONG_FINAL_BLOCK, function() ac.DecryptRuleset(write("cut", whole:sub(1, -6)), cbc) end)
    -- The block before the padding block now ends the file; its last byte is text,
    -- no padding value.
    raises(BAD_DECRYPT, function() ac.DecryptRuleset(write("cut", whole:sub(1, -17)), cbc) end)
    assert.is_true(encrypt("aes-256-ctr", key, iv, "plain.pigz", "enc.z"))
    local ctr = { encalg = "aes-256-ctr", key = key, iv = iv, comp = "zlib" }
    local z = read(scratch .. "enc.z")
    raises(INFLATE, function() ac.DecryptRuleset(write("cut.z", z:sub(1, -17)), ctr) end)
    raises(INFLATE, function() ac.DecryptRuleset(write("cut.z", z:sub(1, -6)), ctr) end)
    -- A stream mode without compression cannot tell a cut: the shorter text comes back.
    ctr.comp = nil
    assert.is_true(encrypt("aes-256-ctr", key, iv, "plain", "enc"))
    assert.are.equal(plain:sub(1, -17), ac.DecryptRuleset(write("cut", read(scratch .. "enc"):sub(1, -17)), ctr))
    -- A corrupted byte in a stream mode comes through to the inflation.
    local at = math.floor(#z / 2)
    ctr.comp = "zlib"
    raises(INFLATE, function()
      ac.DecryptRuleset(write("bad.z", z:sub(1, at - 1) .. string.char((z:byte(at) + 1) % 256) .. z:sub(at + 1)), ctr)
    end)
  end)
end)
