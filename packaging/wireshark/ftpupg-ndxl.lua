-- Wireshark dissector for the Morvane device messages (discovery and password exchange)
-- that ftpupg, ftpupg-cli and their device library send over UDP port 17250.
-- Layout: /usr/share/doc/ftpupg (docs/devmsg-wire.md in the sources).
-- Load it once:   wireshark -X lua_script:/usr/share/ftpupg/wireshark/ftpupg-ndxl.lua TRACE
-- or for good:    cp /usr/share/ftpupg/wireshark/ftpupg-ndxl.lua ~/.local/lib/wireshark/plugins/
-- Another port:   Edit > Preferences > Protocols > NDXL, or -o ndxl.port:N with tshark.
--
-- Every read stays within the datagram's bytes: a short or odd datagram is flagged as
-- malformed with what is wrong, never a Lua error.

local ndxl = Proto("ndxl", "Morvane device messaging")

local kinds = { [1] = "request", [2] = "reply" }
local protocols = {
    [17] = "discovery",
    [20] = "discovery v4 (echo word)",
    [33] = "protocol 33",
    [65] = "password",
    [68] = "password v4 (echo word)",
    [96] = "protocol 96",
}
local operations = { [0] = "discovery", [1] = "discovery answer", [16] = "password", [17] = "password answer" }
local results = { [0] = "accepted", [1] = "refused: wrong password", [2] = "refused: wrong echo word" }

local f = {
    magic = ProtoField.string("ndxl.magic", "Magic"),
    version = ProtoField.uint8("ndxl.version", "Version"),
    kind = ProtoField.uint8("ndxl.kind", "Kind", base.DEC, kinds),
    reserved = ProtoField.uint16("ndxl.reserved", "Reserved", base.HEX),
    vendor = ProtoField.string("ndxl.vendor", "Vendor text"),
    frame = ProtoField.bytes("ndxl.frame", "Request frame"),
    record = ProtoField.bytes("ndxl.record", "Reply record"),
    mac = ProtoField.ether("ndxl.mac", "Hardware address"),
    protocol = ProtoField.uint8("ndxl.protocol", "Protocol", base.DEC, protocols),
    operation = ProtoField.uint8("ndxl.operation", "Operation", base.DEC, operations),
    password = ProtoField.bytes("ndxl.password", "Password (masked in ftpupg-cli traces)"),
    value = ProtoField.uint16("ndxl.value", "Value", base.DEC),
    echo = ProtoField.uint32("ndxl.echo", "Echo word", base.HEX),
    ip = ProtoField.string("ndxl.ip", "IP text"),
    name = ProtoField.string("ndxl.name", "Name"),
    result = ProtoField.uint16("ndxl.result", "Password result", base.DEC, results),
    status = ProtoField.uint16("ndxl.status", "Second value", base.DEC),
}
ndxl.fields = {
    f.magic, f.version, f.kind, f.reserved, f.vendor, f.frame, f.record, f.mac, f.protocol, f.operation,
    f.password, f.value, f.echo, f.ip, f.name, f.result, f.status,
}

local e = {
    header = ProtoExpert.new("ndxl.bad_header", "Not a device message: magic or version do not match",
        expert.group.MALFORMED, expert.severity.ERROR),
    kind = ProtoExpert.new("ndxl.bad_kind", "Unknown kind", expert.group.MALFORMED, expert.severity.ERROR),
    length = ProtoExpert.new("ndxl.bad_length", "Wrong length", expert.group.MALFORMED, expert.severity.ERROR),
    ip = ProtoExpert.new("ndxl.bad_ip", "IP text is no IPv4 address", expert.group.MALFORMED,
        expert.severity.WARN),
}
ndxl.experts = { e.header, e.kind, e.length, e.ip }

ndxl.prefs.port = Pref.uint("UDP port", 17250, "The devices' port (NDXL_PORT)")

local REQUEST_SIZE = 848 -- header 8, vendor 8, frame 832
local MAX_REPLY_SIZE = 808 -- header 8, record up to 800

-- Text up to the first zero byte within [offset, offset + size), clipped to the buffer.
local function zstring(tvb, offset, size)
    local available = tvb:len() - offset
    if available <= 0 then return nil, 0 end
    if size > available then size = available end
    local range = tvb(offset, size)
    local bytes = range:bytes()
    local n = 0
    while n < bytes:len() and bytes:get_index(n) ~= 0 do n = n + 1 end
    return range, n
end

local function add_string(tree, field, tvb, offset, size)
    local range, n = zstring(tvb, offset, size)
    if range == nil then return nil end
    local text = n > 0 and tvb(offset, n):string() or ""
    tree:add(field, range, text)
    return text
end

local function is_ipv4(text)
    local a, b, c, d = text:match("^(%d+)%.(%d+)%.(%d+)%.(%d+)$")
    if a == nil then return false end
    for _, part in ipairs({ a, b, c, d }) do
        if tonumber(part) > 255 then return false end
    end
    return true
end

local function dissect_request(tvb, pinfo, tree, root)
    add_string(tree, f.vendor, tvb, 8, 8)
    local frame = tvb(16, 832)
    local sub = tree:add(f.frame, frame)
    sub:set_text("Request frame (832 bytes)")
    local protocol = frame(6, 1):uint()
    local operation = frame(7, 1):uint()
    sub:add(f.mac, frame(0, 6))
    sub:add(f.protocol, frame(6, 1))
    sub:add(f.operation, frame(7, 1))
    local what = (operations[operation] or ("operation " .. operation)) .. ", protocol " .. protocol
    if operation == 16 then
        sub:add(f.password, frame(8, 12))
        what = what .. ", for " .. tostring(frame(0, 6):ether())
    end
    sub:add_le(f.value, frame(20, 2))
    if protocol == 68 then sub:add_le(f.echo, frame(198, 4)) end
    return "Request: " .. what
end

local function dissect_reply(tvb, pinfo, tree, root)
    local size = tvb:len() - 8
    local sub = tree
    if size > 0 then
        sub = tree:add(f.record, tvb(8, size))
        sub:set_text("Reply record (" .. size .. " bytes)")
    end
    local record = tvb(8, size > 0 and size or 0)
    local function has(offset, n) return size >= offset + n end
    local ip = add_string(sub, f.ip, tvb, 8, 16)
    if ip ~= nil and ip ~= "" and not is_ipv4(ip) then
        sub:add_proto_expert_info(e.ip, "IP text '" .. ip .. "' is no IPv4 address")
    end
    if has(16, 6) then sub:add(f.mac, record(16, 6)) end
    local protocol, operation
    if has(22, 1) then protocol = record(22, 1):uint(); sub:add(f.protocol, record(22, 1)) end
    if has(23, 1) then operation = record(23, 1):uint(); sub:add(f.operation, record(23, 1)) end
    local what = "reply"
    if operation == 17 then
        if has(24, 2) then
            local result = record(24, 2):le_uint()
            sub:add_le(f.result, record(24, 2))
            what = "password answer: " .. (results[result] or ("result " .. result)) .. ", protocol " ..
                tostring(protocol)
        end
        if has(26, 2) then sub:add_le(f.status, record(26, 2)) end
    else
        local name = add_string(sub, f.name, tvb, 8 + 32, 244)
        if protocol == 20 and has(276, 4) then sub:add_le(f.echo, record(276, 4)) end
        what = (operations[operation or -1] or "answer") .. ", protocol " .. tostring(protocol or "none")
        if ip ~= nil and ip ~= "" then what = what .. ", from " .. ip end
        if name ~= nil and name ~= "" then what = what .. " \"" .. name .. "\"" end
    end
    return "Reply: " .. what
end

local function dissect(tvb, pinfo, root)
    local length = tvb:len()
    pinfo.cols.protocol = "NDXL"
    local tree = root:add(ndxl, tvb())
    if length < 8 or tvb(0, 4):string() ~= "NDXL" or tvb(4, 1):uint() ~= 1 then
        tree:add_proto_expert_info(e.header)
        pinfo.cols.info = "Not a device message (" .. length .. " bytes)"
        return length
    end
    tree:add(f.magic, tvb(0, 4))
    tree:add(f.version, tvb(4, 1))
    tree:add(f.kind, tvb(5, 1))
    tree:add(f.reserved, tvb(6, 2))
    local kind = tvb(5, 1):uint()
    local info
    if kind == 1 then
        if length ~= REQUEST_SIZE then
            tree:add_proto_expert_info(e.length, "Request of " .. length .. " bytes; it must be " .. REQUEST_SIZE ..
                " (devices ignore it)")
            info = "Request of a wrong length"
        else
            info = dissect_request(tvb, pinfo, tree, root)
        end
    elseif kind == 2 then
        if length > MAX_REPLY_SIZE then
            tree:add_proto_expert_info(e.length, "Reply of " .. length .. " bytes; at most " .. MAX_REPLY_SIZE ..
                " (the record is cut to 800)")
        end
        info = dissect_reply(tvb, pinfo, tree, root)
    else
        tree:add_proto_expert_info(e.kind, "Kind " .. kind .. " is neither request (1) nor reply (2)")
        info = "Unknown kind " .. kind
    end
    pinfo.cols.info = info
    tree:append_text(", " .. info)
    return length
end

function ndxl.dissector(tvb, pinfo, root)
    -- Whatever slipped past the checks is shown as malformed, not as a Lua error.
    local ok, result = pcall(dissect, tvb, pinfo, root)
    if ok then return result end
    root:add_proto_expert_info(e.length, "Cannot be read: " .. tostring(result))
    return tvb:len()
end

local registered
local function register()
    local udp = DissectorTable.get("udp.port")
    if registered then udp:remove(registered, ndxl) end
    udp:add(ndxl.prefs.port, ndxl)
    registered = ndxl.prefs.port
end

function ndxl.prefs_changed() register() end

register()
