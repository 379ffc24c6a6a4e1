-- ac.DecryptRuleset of 64 MiB of generated rule-set text, zlib level 6 (pigz -6 -z),
-- then aes-256-cbc (openssl enc), against the same file through
-- `openssl enc -d | pigz -dz` writing a file on tmpfs. Files live on tmpfs
-- (/dev/shm), so neither side waits on a disk. Wall time (the baseline runs in two
-- other processes, at once), rounds alternating, median of 5 each; the figure is
-- MB/s of plain text, higher is better.
local ac = require "ac"
local clock = require "wall_clock"

local SIZE = 64 * 1024 * 1024
local ROUNDS = 5
local KEY = string.rep("\7", 32)
local IV = string.rep("\9", 16)
local function tohex(s) return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end)) end

local function sh(command)
  local ok = os.execute(command)
  assert(ok == true or ok == 0, command)
end

local dir = assert(io.popen("mktemp -d /dev/shm/acdc-ruleset-bench.XXXXXX")):read("*l")
local plain, packed, enciphered, out = dir .. "/plain", dir .. "/plain.z", dir .. "/rules", dir .. "/out"

-- Rules of a few shapes, numbered, as a generated policy would hold them.
local rng = 12345
local function rand(n)
  rng = (rng * 1103515245 + 12345) % 2147483648
  return rng % n
end
local shapes = {
  "allow path C:\\Program Files\\Vendor%d\\bin\\tool%d.exe\n",
  "block hash %08x%08x on C:\\Users\\*\\AppData\\Local\\Temp\\*.ps1\n",
  "approve publisher CN=Publisher %d, O=Org %d, C=US\n",
  "deny script %d interpreter powershell.exe arguments -enc * priority %d\n",
}
local lines, size = {}, 0
while size < SIZE do
  local line = string.format(shapes[rand(#shapes) + 1], rand(100000), rand(100000))
  lines[#lines + 1] = line
  size = size + #line
end
local text = table.concat(lines):sub(1, SIZE)
lines = nil
local f = assert(io.open(plain, "wb"))
f:write(text)
f:close()
sh("pigz -6 -z -c " .. plain .. " > " .. packed)
sh("openssl enc -aes-256-cbc -K " .. tohex(KEY) .. " -iv " .. tohex(IV) .. " -in " .. packed .. " -out " .. enciphered)

local options = { encalg = "aes-256-cbc", key = KEY, iv = IV, comp = "zlib" }
local baseline = "openssl enc -d -aes-256-cbc -K " .. tohex(KEY) .. " -iv " .. tohex(IV) .. " -in " .. enciphered
  .. " | pigz -dz > " .. out

assert(ac.DecryptRuleset(enciphered, options) == text, "DecryptRuleset gave other text")
collectgarbage()

local ours, theirs = {}, {}
for _ = 1, ROUNDS do
  local t0 = clock.now()
  local got = ac.DecryptRuleset(enciphered, options)
  ours[#ours + 1] = clock.now() - t0
  assert(#got == SIZE)
  got = nil
  collectgarbage()
  t0 = clock.now()
  sh(baseline)
  theirs[#theirs + 1] = clock.now() - t0
end
local check = assert(io.open(out, "rb"))
assert(check:read("*a") == text, "the baseline gave other text")
check:close()
sh("rm -rf " .. dir)

local function median(t)
  table.sort(t)
  return t[(#t + 1) / 2]
end
local mb = SIZE / 1e6
local value, base = mb / median(ours), mb / median(theirs)
print(string.format("FIGURE ruleset_decrypt_64MiB_vs_openssl_pigz\t%.1f MB/s\t%.1f MB/s\t%.2fx\thigher is better (goal >= 0.8x)",
  value, base, value / base))
