-- The files that the agent's events name, made under the folder behind the
-- library's drive C, so that the library's file checks find what the events name.
--
-- One spelling per path: the first spelling of a path, folder by folder, is the
-- one made, and every later spelling that differs only in case maps to it, as it
-- would on Windows. What is already on disk is used as it is: a name there in
-- another case is that name (where several differ only in case, the one the
-- library's lower-cased lookup finds: the all-lower-case one, else the bytewise
-- smallest), and a file there is left alone. The files stay after the run, so a
-- later run of the same workload finds them made; removing thousands of folders
-- costs more than making them.

local concat = table.concat

local drive = {}

local Drive = {}
Drive.__index = Drive

-- What each file holds: a few bytes, so that it qualifies for the execution checks.
local CONTENT = "MZ made by the reference agent\n"

local function quote(s)
  return "'" .. s:gsub("'", "'\\''") .. "'"
end

-- Of two names that differ only in case, the one a lower-cased lookup finds.
local function preferred(a, b)
  if not a then return b end
  local la = a == a:lower()
  if la ~= (b == b:lower()) then return la and a or b end
  return a < b and a or b
end

-- Every folder under `root` -> { lower-cased name -> name }, from one walk.
local function list_tree(root)
  local listed = { [root] = {} }
  local p = assert(io.popen("find " .. quote(root) .. " -mindepth 1 -printf '%p\\0' 2>/dev/null"))
  local text = p:read("*a")
  p:close()
  for path in text:gmatch("([^%z]+)%z") do
    local parent, name = path:match("^(.*)/([^/]+)$")
    local names = listed[parent]
    if not names then
      names = {}
      listed[parent] = names
    end
    local key = name:lower()
    names[key] = preferred(names[key], name)
  end
  return listed
end

-- root: the folder behind drive C; it must exist.
function drive.new(root)
  local ok = os.execute("test -d " .. quote(root))
  if not (ok == true or ok == 0) then return nil, "no folder " .. root end
  root = root:gsub("(.)/+$", "%1")
  return setmetatable({
    root = root,
    canon = {},                -- lower-cased Win32 path -> { host path, is_folder }
    listed = list_tree(root),  -- folder that was there before -> its names
    made = {},                 -- folder -> true: made by us, so nothing else is in it
    pending_dirs = {}, pending_files = {},
    made_files = 0, made_folders = 0, found = 0,
    conflicts = 0,             -- paths named both as a file and as a folder, or not creatable
  }, Drive)
end

-- Queues the file of the Win32 path `path` for creation; nothing for a path that is
-- not on drive C or cannot be a file name there.
function Drive:want(path)
  local rest = path:match("^[Cc]:\\(.*[^\\])$")
  if not rest or rest:find("[%z\1-\31/]") then return end
  local parts = {}
  for part in rest:gmatch("[^\\]+") do
    if part == "." or part == ".." then return end
    parts[#parts + 1] = part
  end
  local key, host = "c:", self.root
  for i, part in ipairs(parts) do
    local folder = i < #parts
    key = key .. "\\" .. part:lower()
    local known = self.canon[key]
    if known then
      if known[2] ~= folder then
        self.conflicts = self.conflicts + 1
        return
      end
      host = known[1]
    else
      local names = not self.made[host] and self.listed[host]
      local existing = names and names[part:lower()]
      local child = host .. "/" .. (existing or part)
      self.canon[key] = { child, folder }
      if existing then
        if not folder then self.found = self.found + 1 end
      elseif folder then
        self.pending_dirs[#self.pending_dirs + 1] = child
        self.made[child] = true
      else
        self.pending_files[#self.pending_files + 1] = child
      end
      host = child
    end
  end
end

-- Creates what was queued: the folders in one call, then the files.
function Drive:flush()
  local dirs = self.pending_dirs
  if #dirs > 0 then
    local p = assert(io.popen("xargs -0 mkdir -p -- 2>/dev/null", "w"))
    p:write(concat(dirs, "\0"), "\0")
    p:close()
    self.made_folders = self.made_folders + #dirs
  end
  for _, file in ipairs(self.pending_files) do
    local f = io.open(file, "wb")
    if f then
      f:write(CONTENT)
      f:close()
      self.made_files = self.made_files + 1
    else
      self.conflicts = self.conflicts + 1
    end
  end
  self.pending_dirs, self.pending_files = {}, {}
end

-- Files and folders made over the run, files that were there already, and paths
-- that could not be made.
function Drive:stats()
  return { files = self.made_files, folders = self.made_folders, found = self.found, conflicts = self.conflicts }
end

return drive
