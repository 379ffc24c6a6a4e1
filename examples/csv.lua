-- RFC 4180 records for the workload files: a reader and a record formatter.
--
-- The reader works through physical lines, so a recording of any size replays in
-- constant memory. A malformed record is handed back as an error together with
-- the line it starts on, and reading goes on with the next record: one bad row in
-- a long recording must cost that row only.

local find, sub, concat = string.find, string.sub, table.concat

local csv = {}

-- A quoted field may hold line breaks, so an unterminated quote would otherwise
-- swallow the rest of the file. Past this many physical lines the record is
-- given up, and its lines after the first are read again as records of their own.
-- Being a bound, it also keeps a file full of stray quotes from being re-read
-- over and over.
csv.MAX_RECORD_LINES = 128

local Reader = {}
Reader.__index = Reader

-- Splits a physical line into its text and its line end. The line end is kept
-- because inside a quoted field it is part of the value, CRLF included.
local function split_eol(line)
  if sub(line, -2) == "\r\n" then
    return sub(line, 1, -3), "\r\n"
  elseif sub(line, -1) == "\n" then
    return sub(line, 1, -2), "\n"
  elseif sub(line, -1) == "\r" then -- only at end of input: lines are split at LF
    return sub(line, 1, -2), "\r"
  end
  return line, ""
end

local function string_lines(s)
  local pos = 1
  return function()
    if pos > #s then return nil end
    local e = find(s, "\n", pos, true) or #s
    local line = sub(s, pos, e)
    pos = e + 1
    return line
  end
end

-- src is an open file or a string holding the whole text.
function csv.reader(src)
  local next_line
  if type(src) == "string" then
    next_line = string_lines(src)
  else
    next_line = function() return src:read("*L") end
  end
  return setmetatable({ next_line_ = next_line, back_ = {}, line_ = 0 }, Reader)
end

function Reader:read_line()
  local back = self.back_
  local line = back[#back]
  if line then
    back[#back] = nil
  else
    line = self.next_line_()
    if not line then return nil end
  end
  self.line_ = self.line_ + 1
  return line
end

-- Physical lines taken so far, the line ends inside quoted fields included.
function Reader:lines_read()
  return self.line_
end

-- Puts lines back so that the next reads return them in their original order.
function Reader:unread(lines, first, last)
  local back = self.back_
  for i = last, first, -1 do back[#back + 1] = lines[i] end
  self.line_ = self.line_ - (last - first + 1)
end

local function split_plain(text)
  local fields, n, pos = {}, 0, 1
  while true do
    local c = find(text, ",", pos, true)
    n = n + 1
    if not c then
      fields[n] = sub(text, pos)
      return fields
    end
    fields[n] = sub(text, pos, c - 1)
    pos = c + 1
  end
end

-- The general case: quoted fields, possibly running over several lines.
-- Returns the fields, or nil and a message; `lines` collects the physical lines
-- taken after the first, so that the caller can give them back.
function Reader:parse_quoted(text, eol, lines)
  local fields, n, pos = {}, 0, 1
  while true do
    if sub(text, pos, pos) == '"' then
      local parts, np = {}, 0
      pos = pos + 1
      while true do
        local q = find(text, '"', pos, true)
        if not q then
          np = np + 1
          parts[np] = sub(text, pos) .. eol
          if #lines + 1 >= csv.MAX_RECORD_LINES then
            return nil, "unterminated quoted field", true
          end
          local line = self:read_line()
          if not line then return nil, "unterminated quoted field", true end
          lines[#lines + 1] = line
          text, eol = split_eol(line)
          pos = 1
        elseif sub(text, q + 1, q + 1) == '"' then
          np = np + 1
          parts[np] = sub(text, pos, q) -- keeps one of the two quotes
          pos = q + 2
        else
          np = np + 1
          parts[np] = sub(text, pos, q - 1)
          pos = q + 1
          break
        end
      end
      n = n + 1
      fields[n] = concat(parts)
      local after = sub(text, pos, pos)
      if after == "" then return fields end
      if after ~= "," then return nil, "unexpected character after closing quote" end
      pos = pos + 1
    else
      local c = find(text, ",", pos, true)
      local field = sub(text, pos, c and c - 1 or -1)
      if find(field, '"', 1, true) then return nil, "quote inside unquoted field" end
      if find(field, "\r", 1, true) then return nil, "carriage return outside quotes" end
      n = n + 1
      fields[n] = field
      if not c then return fields end
      pos = c + 1
    end
  end
end

-- Returns the next record as (line number, fields), or (line number, nil,
-- message) for a malformed one, or nil at the end of input. The line number is
-- the record's first physical line, counting from 1.
function Reader:next()
  local line = self:read_line()
  if not line then return nil end
  local start = self.line_
  local text, eol = split_eol(line)
  if not find(text, '["\r]') then return start, split_plain(text) end
  local lines = {}
  local fields, err, unterminated = self:parse_quoted(text, eol, lines)
  if fields then return start, fields end
  if unterminated then self:unread(lines, 1, #lines) end
  -- Otherwise the rest of the line where the fault was found is dropped with it.
  return start, nil, err
end

-- For a generic for: `for line, fields, err in csv.records(src) do`.
function csv.records(src)
  local r = csv.reader(src)
  return function() return r:next() end
end

local function quote(field)
  field = tostring(field)
  if find(field, '[,"\r\n]') then
    return '"' .. field:gsub('"', '""') .. '"'
  end
  return field
end

-- One record with its CRLF line end; fields are strings or numbers.
function csv.format_record(fields)
  local out = {}
  for i = 1, #fields do out[i] = quote(fields[i]) end
  return concat(out, ",") .. "\r\n"
end

return csv
