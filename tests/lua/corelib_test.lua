-- The core-library stand-in: loaded only when module ac first needs it, linked with
-- wxWidgets' base library and nothing of a GUI; its Lua module's objects.

local function mapped(name)
  for line in io.lines("/proc/self/maps") do
    if line:find(name, 1, true) then return true end
  end
  return false
end

local function ldd(path)
  local p = io.popen("ldd " .. path)
  local out = p:read("*a")
  p:close()
  return out
end

local module_path = package.searchpath("acdc", package.cpath)
local stand_in_path = module_path:gsub("acdc%.so$", "libvrel_core.so")

describe("loading", function()
  -- Runs first: nothing in this file has loaded a module yet.
  it("leaves wx and the stand-in unloaded until a function needs the core library", function()
    require "acdc"
    local ac = require "ac"
    ac.GetLogicalDriveStrings()
    ac.QueryDosDevice("C:")
    assert.is_false(mapped("libwx_base"))
    assert.is_false(mapped("libvrel_core.so"))
    ac.ProfilerBindings()
    assert.is_true(mapped("libvrel_core.so"))
    assert.is_true(mapped("libwx_baseu-3.2"))
  end)

  it("links the stand-in with wx's base library only: no GTK, GLib or X", function()
    local deps = ldd(stand_in_path)
    assert.matches("libwx_baseu%-3%.2%.so", deps)
    for _, gui in ipairs { "gtk", "gdk", "glib", "gobject", "gio", "libX", "xcb", "wayland", "wx_gtk" } do
      assert.is_nil(deps:find(gui, 1, true), gui)
    end
    local module_deps = ldd(module_path)
    assert.is_nil(module_deps:find("wx", 1, true))
    assert.is_nil(module_deps:find("vrel_core", 1, true))
  end)
end)

describe("corelib", function()
  local corelib = require "corelib"

  it("closes a zip stream once and reports a file it cannot create", function()
    local path = os.tmpname()
    local zip = assert(corelib.zip(path))
    assert.is_true(zip:close())
    assert.are.same({ nil, "already closed" }, { zip:close() })
    os.remove(path)
    assert.are.same({ nil, "cannot create /nonexistent/x.zip" }, { corelib.zip("/nonexistent/x.zip") })
  end)
end)
