-- SWUpdate handler for images of type "syscon": brings a SYSCON flash area
-- to hold the image with `update_syscon -o update`.
--
-- Load it from the swupdate_handlers.lua that SWUpdate reads at start-up:
--     require("swupdate_syscon")
--
-- sw-description entry:
--     { filename = "ipl.bin"; type = "syscon"; sha256 = "...";
--       properties = { device = "/dev/ttyS1"; baud = 115200; target = "ipl";
--                      skip = "1F0000,4000"; }; }    -- skip is optional
-- baud may be written as a number or as a string. SWUpdate passes only quoted
-- properties to a handler, so an unquoted baud is read from the image's
-- entry in the sw-description that SWUpdate extracted.
--
-- update_syscon is run from PATH. Its block addresses drive SWUpdate's
-- progress; its lines, and then "syscon: update_syscon ended with status N",
-- go to SWUpdate's standard error; a status other than 0 fails the
-- installation.
--
-- Debian's swupdate -i (2022.12) can end while a handler still runs, losing
-- the end of its log. So the tool writes its errors and the shell its status
-- straight to standard error, and the tool ignores SIGPIPE: it finishes the
-- update, and says how it went, even when SWUpdate is gone.

require("swupdate")

-- Start and size of each target area, for the progress percentage only.
local areas = {
    apli = { 0x000000, 0x1E8000 },
    ipl = { 0x1E8000, 0x018000 },
    font = { 0x100000, 0x060000 },
}

-- Each property and the pattern its value must match.
local properties = {
    device = "^/[%w/._+-]+$",
    baud = "^[1-9]%d*$", -- a rate above 0
    target = "^%l+$",
    skip = "^%x+,%x+$",
}
local required = { "device", "baud", "target" }

local function say(line)
    io.stderr:write("syscon: ", line, "\n")
end

local function fail(fmt, ...)
    local message = string.format(fmt, ...)
    say(message)
    swupdate.error("syscon: " .. message)
    return 1
end

-- The unquoted `baud = N` of the image's properties in the extracted
-- sw-description, as a string, or nil.
local function unquoted_baud(image)
    local f = io.open(swupdate.tmpdir() .. "sw-description", "r")
    if not f then return nil end
    local text = f:read("a")
    f:close()
    local at = text:find('filename%s*[=:]%s*"' .. image.filename:gsub("%p", "%%%0") .. '"')
    local entry = at and text:sub(at):match("^[^}]*properties%s*[=:]%s*(%b{})")
    return entry and entry:match("[{;,%s]baud%s*[=:]%s*(%d+)%s*[;,}]")
end

-- The settings of one image, or nil and the reason they cannot be used.
local function settings(image)
    local p = {}
    for name, value in pairs(image.properties or {}) do
        if not properties[name] then
            return nil, string.format("unknown property '%s' (known: device, baud, target, skip)", name)
        end
        -- sw-description's `baud = 115200;` arrives as a number.
        if type(value) == "number" and value == math.floor(value) then
            value = string.format("%d", value)
        end
        if type(value) ~= "string" or not value:match(properties[name]) then
            return nil, string.format("property %s = '%s' is not valid", name, tostring(value))
        end
        p[name] = value
    end
    p.baud = p.baud or unquoted_baud(image)
    if p.baud and not p.baud:match(properties.baud) then
        return nil, string.format("property baud = '%s' is not valid", p.baud)
    end
    for _, name in ipairs(required) do
        if not p[name] then
            return nil, string.format("property '%s' is missing", name)
        end
    end
    if not areas[p.target] then
        return nil, string.format("unknown target '%s' (apli, ipl or font)", p.target)
    end
    return p
end

local function quote(s)
    return "'" .. s:gsub("'", "'\\''") .. "'"
end

local function install(image)
    local s, why = settings(image)
    if not s then
        return fail("%s: %s; nothing was sent to the SYSCON", image.filename, why)
    end
    local file = swupdate.tmpdir() .. "syscon-" .. s.target .. ".bin"
    local err, msg = image:copy2file(file)
    if err ~= 0 then
        os.remove(file)
        return fail("%s: cannot copy the image out of the stream: %s", image.filename, tostring(msg))
    end

    local cmd = string.format("update_syscon -d %s -b %s -o update -t %s -f %s%s",
        s.device, s.baud, s.target, quote(file), s.skip and (" -s " .. s.skip) or "")
    say(cmd)
    -- The status comes in-band from the shell, not from the pipe's close:
    -- SWUpdate handles SIGCHLD itself.
    local tool = io.popen("trap '' PIPE; " .. cmd .. "; s=$?; " ..
        "echo \"syscon: update_syscon ended with status $s\" >&2; echo \"status=$s\"")
    local start, size = areas[s.target][1], areas[s.target][2]
    -- Progress lines begin with a carriage return, the others end with a line feed.
    local line, status = "", nil
    while true do
        local c = tool:read(1)
        if c == nil or c == "\r" or c == "\n" then
            local address = line:match("Address = 0x(%x+)")
            if address then
                local done = tonumber(address, 16) - start + 1
                swupdate.progress_update(math.min(100, math.floor(done * 100 / size)))
            elseif line:match("^status=%d+$") then
                status = tonumber(line:sub(8))
            elseif line ~= "" then
                say(line)
            end
            line = ""
            if c == nil then break end
        else
            line = line .. c
        end
    end
    tool:close()
    os.remove(file)
    if status ~= 0 then
        return fail("%s: the update of the %s area failed (status %s)", image.filename, s.target, tostring(status))
    end
    swupdate.progress_update(100)
    return 0
end

swupdate.register_handler("syscon", install, swupdate.HANDLER_MASK.IMAGE_HANDLER)
