-- Wireshark dissector for ORMA_DLL capture files: pcapng, link type 147 (LINKTYPE_USER0).
--
-- Each packet is an 8-byte header (version, header length, direction, origin, mode, start byte,
-- flags, 0; see src/capture/pcapng.h) followed by the bytes that crossed the link or that the
-- library made up: one message (code first), a whole frame, noise, a frame with a wrong checksum,
-- or a link event. Install: copy this file into Wireshark's personal Lua plugins folder
-- (README.md, "Reading a capture: tshark and Wireshark").

local orma = Proto("orma", "ORMA_DLL link capture")

local VERSION = 1
local HEADER_LENGTH = 8
local FRAME_OVERHEAD = 3 -- start, length, checksum
local FLAG_FRAME, FLAG_NOISE, FLAG_BAD_SUM, FLAG_LINK, FLAG_MODULE, FLAG_NOT_SENT = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20

local DIRECTIONS = { [0] = "to module", [1] = "to host", [2] = "none" }
local ORIGINS = { [0] = "link", [1] = "library" }
local MODES = { [0] = "not known", [1] = "serial", [2] = "TCP", [3] = "USB", [4] = "USB" }
local LINK_EVENTS = { [0] = "down", [1] = "up", [0xFF] = "stopped" }
local STARTS = { [0] = "no frames", [0xAA] = "protocol 2", [0x55] = "protocol 1", [0xCC] = "other protocol" }
-- Where each direction's messages go, for the Info column and the address columns.
local ARROWS = { [0] = "→ module", [1] = "← host" }
local ENDS = { [0] = { "host", "module" }, [1] = { "module", "host" } }

-- The messages the library makes up itself, by their exact bytes: the name in orma.made_up, and
-- the Info column's words.
local LIBRARY_MESSAGES = {
    ["85"] = { "no answer", "0x85 (no answer)" },
    ["F0 E0 03 FF 01 12"] = { "link up", "link up" },
    ["F0 E0 03 FF 00 12"] = { "link down", "link down" },
}
local MSG_ERROR_NOTIFICATION = 0xF0
local SUBCH_NOTIFICATION, SUBCH_KIND, SUBCH_LENGTH = 0xE0, 0x46, 10 -- code, kind, word, time

local f = {
    version = ProtoField.uint8("orma.version", "Version"),
    header_length = ProtoField.uint8("orma.header_length", "Header length"),
    direction = ProtoField.uint8("orma.direction", "Direction", base.DEC, DIRECTIONS),
    origin = ProtoField.uint8("orma.origin", "Origin", base.DEC, ORIGINS),
    mode = ProtoField.uint8("orma.mode", "Mode", base.DEC, MODES),
    start = ProtoField.uint8("orma.start", "Start byte", base.HEX, STARTS),
    flags = ProtoField.uint8("orma.flags", "Flags", base.HEX),
    flag_frame = ProtoField.bool("orma.flags.frame", "Frame", 8, nil, FLAG_FRAME),
    flag_noise = ProtoField.bool("orma.flags.noise", "Noise", 8, nil, FLAG_NOISE),
    flag_bad_sum = ProtoField.bool("orma.flags.bad_sum", "Bad checksum", 8, nil, FLAG_BAD_SUM),
    flag_link = ProtoField.bool("orma.flags.link", "Link event", 8, nil, FLAG_LINK),
    flag_module = ProtoField.bool("orma.flags.module", "Written by the module's side", 8, nil, FLAG_MODULE),
    flag_not_sent = ProtoField.bool("orma.flags.not_sent", "Not sent: the link did not take it", 8, nil, FLAG_NOT_SENT),
    reserved = ProtoField.uint8("orma.reserved", "Reserved", base.HEX),

    msg = ProtoField.bytes("orma.msg", "Message", base.SPACE),
    class = ProtoField.string("orma.class", "Class"),
    code = ProtoField.uint8("orma.code", "Code", base.HEX),
    len = ProtoField.uint16("orma.len", "Message length"),
    made_up = ProtoField.string("orma.made_up", "Library message"),
    link_notification = ProtoField.uint8("orma.link_notification", "Link notification", base.DEC, LINK_EVENTS),

    frame_start = ProtoField.uint8("orma.frame.start", "Start byte", base.HEX, STARTS),
    frame_length = ProtoField.uint8("orma.frame.length", "Length byte"),
    frame_length_ok = ProtoField.bool("orma.frame.length_ok", "Length matches"),
    frame_checksum = ProtoField.uint8("orma.frame.checksum", "Checksum", base.HEX),
    frame_checksum_calc = ProtoField.uint8("orma.frame.checksum_calc", "Checksum computed", base.HEX),
    frame_checksum_ok = ProtoField.bool("orma.frame.checksum_ok", "Checksum valid"),
    raw = ProtoField.bytes("orma.raw", "Bytes", base.SPACE),
    link_event = ProtoField.uint8("orma.link_event", "Link event", base.DEC, LINK_EVENTS),

    -- E0 46 word time: the word's fields as the sub-channel log prints them.
    subch_word = ProtoField.uint32("orma.subch.word", "Configuration word", base.HEX),
    subch_id = ProtoField.uint32("orma.subch.id", "SubChId", base.DEC, nil, 0x0000003F),
    subch_efc = ProtoField.uint32("orma.subch.efc", "EFC Flg", base.DEC, nil, 0x00000040),
    subch_switch_on = ProtoField.uint32("orma.subch.switch_on", "SwitchOn", base.DEC, nil, 0x00000080),
    subch_start_cu = ProtoField.uint32("orma.subch.start_cu", "Start CU", base.DEC, nil, 0x0003FF00),
    subch_protection = ProtoField.uint32("orma.subch.protection", "ProtLev", base.DEC, nil, 0x001C0000),
    subch_eep = ProtoField.uint32("orma.subch.eep", "EEP", base.DEC, nil, 0x00200000),
    subch_size = ProtoField.uint32("orma.subch.size", "Size CUs", base.DEC, nil, 0xFFC00000),
    subch_time = ProtoField.int32("orma.subch.time", "Time (ms)"),

    -- F0 error number, code of the last command, time.
    error_number = ProtoField.uint8("orma.error.number", "Error number"),
    error_command = ProtoField.uint8("orma.error.command", "Last command", base.HEX),
    error_time = ProtoField.int32("orma.error.time", "Time (ms)"),
}
orma.fields = f

local e = {
    short = ProtoExpert.new("orma.short", "Packet shorter than its header", expert.group.MALFORMED,
                            expert.severity.ERROR),
    version = ProtoExpert.new("orma.bad_version", "Unknown capture packet version", expert.group.MALFORMED,
                              expert.severity.ERROR),
    header_length = ProtoExpert.new("orma.bad_header_length", "Header length below 8", expert.group.MALFORMED,
                                    expert.severity.ERROR),
    empty = ProtoExpert.new("orma.empty", "No message bytes", expert.group.MALFORMED, expert.severity.WARN),
    frame_short = ProtoExpert.new("orma.frame.short", "Frame shorter than start, length and checksum",
                                  expert.group.MALFORMED, expert.severity.WARN),
    frame_length = ProtoExpert.new("orma.frame.length_wrong", "Length byte does not match the frame",
                                   expert.group.MALFORMED, expert.severity.WARN),
    checksum = ProtoExpert.new("orma.frame.checksum_wrong", "Checksum wrong", expert.group.CHECKSUM,
                               expert.severity.WARN),
    subch_short = ProtoExpert.new("orma.subch.short", "Sub-channel notification without its word and time",
                                  expert.group.PROTOCOL, expert.severity.NOTE),
    link_event = ProtoExpert.new("orma.link_event.length", "A link event is one byte", expert.group.MALFORMED,
                                 expert.severity.WARN),
}
orma.experts = e

-- The class by the code's two top bits, as the library reads it: 10 a response, 11 a
-- notification, anything else a command.
local function class_of(code)
    local top = bit.rshift(code, 6)
    if top == 2 then
        return "response"
    elseif top == 3 then
        return "notification"
    end
    return "command"
end

local function hex(range, most)
    local text = range:bytes():tohex(false, " ")
    if range:len() > most then
        text = range:range(0, most):bytes():tohex(false, " ") .. " …"
    end
    return text
end

-- Adds a message (code first) to `tree`; returns its summary for the Info column.
local function dissect_message(range, pinfo, tree)
    local length = range:len()
    local item = tree:add(f.msg, range)
    if length == 0 then
        item:add_proto_expert_info(e.empty)
        return "empty message"
    end
    local code = range:range(0, 1):uint()
    local class = class_of(code)
    item:append_text(" (" .. class .. ")")
    item:add(f.class, class):set_generated()
    item:add(f.code, range:range(0, 1))
    item:add(f.len, length):set_generated()

    local made_up = LIBRARY_MESSAGES[range:bytes():tohex(false, " ")]
    if made_up then
        item:add(f.made_up, made_up[1]):set_generated()
        if length == 6 then
            item:add(f.link_notification, range:range(4, 1))
        end
        return "library " .. made_up[2]
    end

    local summary = class .. " " .. hex(range, 16)
    if code == MSG_ERROR_NOTIFICATION then
        summary = "error notification " .. hex(range, 16)
        if length >= 2 then
            item:add(f.error_number, range:range(1, 1))
            summary = summary .. ": error " .. range:range(1, 1):uint()
        end
        if length >= 3 then
            item:add(f.error_command, range:range(2, 1))
            summary = summary .. string.format(" after command %02X", range:range(2, 1):uint())
        end
        if length >= 7 then
            item:add(f.error_time, range:range(3, 4))
        end
    elseif code == SUBCH_NOTIFICATION and length >= 2 and range:range(1, 1):uint() == SUBCH_KIND then
        if length < SUBCH_LENGTH then
            item:add_proto_expert_info(e.subch_short)
        else
            local word = range:range(2, 4)
            local w = word:uint()
            local sub = item:add(f.subch_word, word)
            for _, field in ipairs({ f.subch_id, f.subch_switch_on, f.subch_start_cu, f.subch_size, f.subch_eep,
                                     f.subch_protection, f.subch_efc }) do
                sub:add(field, word)
            end
            item:add(f.subch_time, range:range(6, 4))
            summary = summary .. string.format(": sub-channel %d %s, start CU %d, size %d", bit.band(w, 0x3F),
                bit.band(w, 0x80) ~= 0 and "on" or "off", bit.band(bit.rshift(w, 8), 0x3FF), bit.rshift(w, 22))
        end
    end
    return summary
end

-- Start byte, length byte, message, checksum (the sum of every byte before it, modulo 256).
-- Returns the frame's summary; the message is dissected only in a frame that was taken.
local function dissect_frame(range, pinfo, tree, taken)
    local total = range:len()
    local item = tree:add(orma, range, "Frame")
    if total < FRAME_OVERHEAD then
        item:add_proto_expert_info(e.frame_short)
        item:add(f.raw, range)
        return "short frame of " .. total .. " bytes"
    end
    local start = range:range(0, 1):uint()
    item:set_text(string.format("Frame, start byte 0x%02X, %d bytes", start, total))
    item:add(f.frame_start, range:range(0, 1))
    local length_item = item:add(f.frame_length, range:range(1, 1))
    local length_ok = range:range(1, 1):uint() == total - FRAME_OVERHEAD
    length_item:add(f.frame_length_ok, length_ok):set_generated()
    if not length_ok then
        length_item:add_proto_expert_info(e.frame_length)
    end
    local message = range:range(2, total - FRAME_OVERHEAD)
    local summary
    if taken then
        summary = string.format("frame %02X: ", start) .. dissect_message(message, pinfo, item)
    else
        item:add(f.raw, range)
        summary = string.format("bad checksum frame %02X, %d bytes", start, total)
    end
    local sum = 0
    for i = 0, total - 2 do
        sum = (sum + range:range(i, 1):uint()) % 256
    end
    local checksum = range:range(total - 1, 1)
    local sum_item = item:add(f.frame_checksum, checksum)
    local checksum_ok = checksum:uint() == sum
    sum_item:append_text(checksum_ok and " [valid]" or string.format(" [invalid, should be 0x%02x]", sum))
    sum_item:add(f.frame_checksum_calc, sum):set_generated()
    sum_item:add(f.frame_checksum_ok, checksum_ok):set_generated()
    if not checksum_ok then
        sum_item:add_proto_expert_info(e.checksum)
    end
    return summary
end

function orma.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "ORMA"
    local root = tree:add(orma, tvb())
    local size = tvb:len()
    if size < HEADER_LENGTH then
        root:add_proto_expert_info(e.short)
        pinfo.cols.info = "packet of " .. size .. " bytes, shorter than its header"
        return size
    end
    local header = root:add(orma, tvb(0, HEADER_LENGTH), "Header")
    header:add(f.version, tvb(0, 1))
    local version = tvb(0, 1):uint()
    if version ~= VERSION then
        header:add_proto_expert_info(e.version)
        pinfo.cols.info = "capture packet version " .. version .. ", not known"
        return size
    end
    local header_length = tvb(1, 1):uint()
    local length_item = header:add(f.header_length, tvb(1, 1))
    if header_length < HEADER_LENGTH or header_length > size then
        length_item:add_proto_expert_info(header_length < HEADER_LENGTH and e.header_length or e.short)
        pinfo.cols.info = "header length " .. header_length .. " in a packet of " .. size .. " bytes"
        return size
    end
    local direction = tvb(2, 1):uint()
    header:add(f.direction, tvb(2, 1))
    header:add(f.origin, tvb(3, 1))
    header:add(f.mode, tvb(4, 1))
    header:add(f.start, tvb(5, 1))
    local flags = tvb(6, 1):uint()
    local flag_item = header:add(f.flags, tvb(6, 1))
    for _, field in ipairs({ f.flag_frame, f.flag_noise, f.flag_bad_sum, f.flag_link, f.flag_module,
                             f.flag_not_sent }) do
        flag_item:add(field, tvb(6, 1))
    end
    header:add(f.reserved, tvb(7, 1))

    local ends = ENDS[direction]
    if ends then
        pinfo.cols.src = ends[1]
        pinfo.cols.dst = ends[2]
    end
    local body = tvb(header_length, size - header_length) -- TvbRange of 0 bytes when nothing follows
    local info
    if bit.band(flags, FLAG_LINK) ~= 0 then
        info = "link event"
        if body:len() >= 1 then
            local event = body:range(0, 1):uint()
            root:add(f.link_event, body:range(0, 1))
            info = "link " .. (LINK_EVENTS[event] or string.format("event 0x%02X", event))
        end
        if body:len() ~= 1 then
            root:add_proto_expert_info(e.link_event)
        end
    elseif bit.band(flags, FLAG_NOISE) ~= 0 then
        root:add(f.raw, body)
        info = "noise " .. body:len() .. " bytes"
    elseif bit.band(flags, FLAG_BAD_SUM) ~= 0 then
        info = dissect_frame(body, pinfo, root, false)
    elseif bit.band(flags, FLAG_FRAME) ~= 0 then
        info = dissect_frame(body, pinfo, root, true)
    else
        info = dissect_message(body, pinfo, root)
    end
    local arrow = ARROWS[direction]
    if bit.band(flags, FLAG_NOT_SENT) ~= 0 then
        info = info .. " (not sent)"
    end
    pinfo.cols.info = arrow and (arrow .. " " .. info) or info
    return size
end

DissectorTable.get("wtap_encap"):add(wtap_encaps and wtap_encaps.USER0 or wtap.USER0, orma)
