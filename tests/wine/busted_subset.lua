-- busted_subset.lua [--exclude-tags=TAG[,TAG...]] FILE
--
-- Runs one busted test file with the part of busted that the files in tests/lua use,
-- for hosts where busted itself cannot run: busted needs C modules that Debian builds
-- for Linux only, while this needs nothing but Lua and luassert (pure Lua, the same
-- assertions and messages as under busted).
--
-- What it takes from busted: describe, it, pending, before_each, after_each, setup and
-- teardown (lazy_setup/lazy_teardown and strict_* as aliases); the global `assert` of
-- luassert; tags written as "#word" in a describe or test name, with busted's
-- --exclude-tags; the order of the file; top-level code first, then each block, a
-- block's body collecting its children before they run. A test fails on any error;
-- a failing before_each fails its test, a failing setup fails every test of its block.
--
-- Output is TAP, as busted's -o TAP prints it. Exits non-zero when a test failed, when
-- the file did not load, when no test ran, or when every test that ran is pending: a
-- file that checks nothing must not pass.

local exclude = {}
local file
for _, a in ipairs(arg) do
  local tags = a:match("^%-%-exclude%-tags=(.*)$")
  if tags then
    for tag in tags:gmatch("[^,]+") do exclude[tag] = true end
  elseif a:sub(1, 2) == "--" then
    io.stderr:write("busted_subset: unknown option ", a, "\n")
    os.exit(2)
  elseif file then
    io.stderr:write("busted_subset: one test file at a time\n")
    os.exit(2)
  else
    file = a
  end
end
if not file then
  io.stderr:write("usage: busted_subset.lua [--exclude-tags=TAG,...] FILE\n")
  os.exit(2)
end

_G.assert = require "luassert"

-- A block: its name, body, hooks and children in the order the body declared them.
local function new_block(name, body, parent)
  return { name = name, body = body, parent = parent, children = {},
           before_each = {}, after_each = {}, setup = {}, teardown = {} }
end

local root = new_block(nil, nil, nil)
local current = root

local function full_name(block, name)
  local parts = { name }
  while block and block.name do
    table.insert(parts, 1, block.name)
    block = block.parent
  end
  return table.concat(parts, " ")
end

local function excluded(name)
  for tag in name:gmatch("#([%w_%-]+)") do
    if exclude[tag] then return true end
  end
  return false
end

local function check_name(kind, name)
  if type(name) ~= "string" then error(kind .. " wants a name (a string) first", 3) end
end

function describe(name, body)
  check_name("describe", name)
  table.insert(current.children, { kind = "block", block = new_block(name, body, current) })
end
context = describe

function it(name, body)
  check_name("it", name)
  table.insert(current.children, { kind = "test", name = name, body = body })
end
spec, test = it, it

function pending(name)
  check_name("pending", name)
  table.insert(current.children, { kind = "pending", name = name })
end

local function hook(kind)
  return function(fn) table.insert(current[kind], fn) end
end
before_each, after_each = hook("before_each"), hook("after_each")
setup, teardown = hook("setup"), hook("teardown")
lazy_setup, strict_setup = setup, setup
lazy_teardown, strict_teardown = teardown, teardown

local count, failed, skipped = 0, 0, 0

-- A message on one line of TAP: later lines become TAP comments.
local function report_failure(name, err)
  count, failed = count + 1, failed + 1
  print(("not ok %d - %s"):format(count, name))
  local text = type(err) == "table" and (err.message or tostring(err)) or tostring(err)
  for line in (text .. "\n"):gmatch("(.-)\n") do print("# " .. line) end
end

local function traceback(err)
  if type(err) == "string" then return debug.traceback(err, 2) end
  return err
end

-- The hooks of `kind` of a block and its ancestors: before_each from the outermost
-- block in, after_each from the innermost out.
local function run_hooks(block, kind, outer_first)
  local chain = {}
  local b = block
  while b do
    table.insert(chain, outer_first and 1 or #chain + 1, b)
    b = b.parent
  end
  for _, each in ipairs(chain) do
    for _, fn in ipairs(each[kind]) do
      local ok, err = xpcall(fn, traceback)
      if not ok then return false, err end
    end
  end
  return true
end

local run_block

local function run_test(block, child)
  local name = full_name(block, child.name)
  if excluded(name) then return end
  if child.kind == "pending" then
    count, skipped = count + 1, skipped + 1
    print(("ok %d - # SKIP %s"):format(count, name))
    return
  end
  local ok, err = run_hooks(block, "before_each", true)
  if ok then ok, err = xpcall(child.body, traceback) end
  local after_ok, after_err = run_hooks(block, "after_each", false)
  if ok and not after_ok then ok, err = false, after_err end
  if ok then
    count = count + 1
    print(("ok %d - %s"):format(count, name))
  else
    report_failure(name, err)
  end
end

-- Every test a block would run, for failing them all when its setup fails.
local function fail_all(block, err)
  for _, child in ipairs(block.children) do
    if child.kind == "block" then
      fail_all(child.block, err)
    elseif not excluded(full_name(block, child.name)) then
      report_failure(full_name(block, child.name), err)
    end
  end
end

run_block = function(block)
  if block.body then
    local saved = current
    current = block
    local ok, err = xpcall(block.body, traceback)
    current = saved
    if not ok then
      report_failure(full_name(block.parent, block.name), err)
      return
    end
  end
  for _, fn in ipairs(block.setup) do
    local ok, err = xpcall(fn, traceback)
    if not ok then
      fail_all(block, err)
      return
    end
  end
  for _, child in ipairs(block.children) do
    if child.kind == "block" then run_block(child.block) else run_test(block, child) end
  end
  for _, fn in ipairs(block.teardown) do
    local ok, err = xpcall(fn, traceback)
    if not ok then report_failure(full_name(block, "teardown"), err) end
  end
end

local chunk, load_err = loadfile(file)
if not chunk then
  report_failure(file, load_err)
else
  current = root
  local ok, err = xpcall(chunk, traceback)
  if ok then run_block(root) else report_failure(file, err) end
end

print("1.." .. count)
print(("%d passed, %d failed, %d skipped"):format(count - failed - skipped, failed, skipped))
if failed > 0 then os.exit(1) end
if count == 0 then
  io.stderr:write("no test ran in ", file, "\n")
  os.exit(1)
end
if skipped == count then
  io.stderr:write("all ", count, " tests of ", file, " are pending\n")
  os.exit(1)
end
os.exit(0)
