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
-- update_syscon is run from PATH with its events (UPDATE_SYSCON_EVENTS=fd:3,
-- docs/events.md) on the handler's pipe: its block events drive SWUpdate's
-- progress and a log line at each tenth, its end event is the verdict
-- (status, result and error). Its own lines, and then "syscon: update_syscon
-- ended with status N", go to SWUpdate's standard error; a status other than
-- 0 fails the installation.
--
-- Debian's swupdate -i (2022.12) can end while a handler still runs, losing
-- the end of its log. So the tool writes its errors and the shell its status
-- straight to standard error, and the tool ignores SIGPIPE: it finishes the
-- update, and says how it went, even when SWUpdate is gone.

require("swupdate")

local targets = { apli = true, ipl = true, font = true }

-- Each property and the pattern its value must match.
local properties = {
    device = "^/[%w/._+-]+$",
    baud = "^[1-9]%d*$", -- a rate above 0
    target = "^%l+$",
    skip = "^%x+,%x+$",
}
local required = { "device", "baud", "target" }

local function say(line)
    -- One write: the tool writes to the same log meanwhile.
    io.stderr:write("syscon: " .. line .. "\n")
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
    if not targets[p.target] then
        return nil, string.format("unknown target '%s' (apli, ipl or font)", p.target)
    end
    return p
end

local function quote(s)
    return "'" .. s:gsub("'", "'\\''") .. "'"
end

-- The text of a JSON string's body. The tool escapes \" \\ \n \r \t and
-- other control bytes as \u00XX; each match takes one escape and the hex
-- digits after it, which are kept as they are unless it is \u.
local escapes = { n = "\n", r = "\r", t = "\t", b = "\b", f = "\f" }
local function unescape(body)
    return (body:gsub("\\(.)(%x?%x?%x?%x?)", function(c, hex)
        if c == "u" and #hex == 4 and tonumber(hex, 16) < 256 then
            return string.char(tonumber(hex, 16))
        end
        return (escapes[c] or c) .. hex
    end))
end

-- The members of the events the handler uses; their order is fixed.
local function block_event(line)
    local done, blocks = line:match('^{"event":"block",.*,"done":(%d+),"blocks":(%d+)}$')
    return tonumber(done), tonumber(blocks)
end

local function end_event(line)
    local status, result, rest = line:match('^{"event":"end","t":[%d.]+,"status":(%d+),"result":"(%l+)",(.*)}$')
    if not status then return nil end
    local e = { status = tonumber(status), result = result }
    e.erased, e.programmed, e.right = rest:match('^"erased":(%d+),"programmed":(%d+),"right":(%d+),')
    e.error = rest:match(',"error":"(.*)"$')
    e.error = e.error and unescape(e.error)
    return e
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
    -- The pipe carries the events (fd 3), the tool's standard output goes to
    -- standard error. The shell's own status line is the verdict only when
    -- there is no end event (the tool could not be run); it comes in-band, not
    -- from the pipe's close: SWUpdate handles SIGCHLD itself.
    local tool = io.popen("trap '' PIPE; UPDATE_SYSCON_EVENTS=fd:3 " .. cmd .. " 3>&1 >&2; s=$?; " ..
        "echo \"syscon: update_syscon ended with status $s\" >&2; echo \"status=$s\"")
    local verdict, status, tenth = nil, nil, 0
    for line in tool:lines() do
        local done, blocks = block_event(line)
        if done then
            swupdate.progress_update(math.floor(done * 100 / blocks))
            if done * 10 // blocks > tenth then
                tenth = done * 10 // blocks
                say(string.format("%s: %d%% (%d of %d blocks)", s.target, done * 100 // blocks, done, blocks))
            end
        elseif line:match('^{"event":"end",') then
            verdict = end_event(line)
        elseif line:match("^status=%d+$") then
            status = tonumber(line:sub(8))
        end
    end
    tool:close()
    os.remove(file)
    if not verdict then
        return fail("%s: the update of the %s area: no result from update_syscon (status %s)",
            image.filename, s.target, tostring(status))
    end
    if verdict.status ~= 0 then
        return fail("%s: the update of the %s area: %s (status %d)%s", image.filename, s.target,
            verdict.result, verdict.status, verdict.error and (": " .. verdict.error) or "")
    end
    say(string.format("%s: the update of the %s area: %s; %s blocks erased, %s programmed, %s already right",
        image.filename, s.target, verdict.result, verdict.erased, verdict.programmed, verdict.right))
    swupdate.progress_update(100)
    return 0
end

swupdate.register_handler("syscon", install, swupdate.HANDLER_MASK.IMAGE_HANDLER)
