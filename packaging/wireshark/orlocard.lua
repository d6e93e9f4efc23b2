-- Wireshark dissector for orlocard's line trace: the pcap files that orlocard
-- writes to <home>/trace/ when "Line Trace" is on in the [Monitor] section of
-- its settings file (link type USER0, 147).
--
-- Use: wireshark -X lua_script:orlocard.lua loop1-2024-06-03.pcap
-- or copy this file to ~/.local/lib/wireshark/plugins/ (Help > About >
-- Folders shows the folder). It takes link type USER0 for itself; where
-- another dissector holds USER0, map it instead in Edit > Preferences >
-- Protocols > DLT_USER: DLT 147, payload protocol "orlocard".
--
-- Record layout (the payload of each pcap record):
--   offset 0  1 byte   layout version, 1
--   offset 1  1 byte   direction: 0 controller to devices, 1 devices to controller
--   offset 2  1 byte   outcome: 0 good (written / a good reply), 1 bad (wrong
--                      check byte, or longer than any reply), 2 time-out (the
--                      reply did not come in full in time), 3 port failure
--   offset 3  1 byte   the address the controller was talking to (1..16)
--   offset 4  2 bytes  loop id, big-endian
--   offset 6  2 bytes  COM port number, big-endian
--   offset 8  ...      the bytes on the line: a whole command frame, or every
--                      byte read for one reply (none when nothing came)
--
-- Frames: a command is STX (ENQ on a pay-on-foot loop), the address byte
-- (0x30 + address), the letter, its data, ETX and the check byte (XOR of
-- address byte through ETX). A reply is ACK alone, or SOH, address byte,
-- kind letter, payload, EOT and the check byte (XOR of address byte through
-- EOT). Polls are the commands 'C', 'R' and 'I' without data.

local orlo = Proto("orlocard", "orlocard reader bus")

local SOH, STX, ETX, EOT, ENQ, ACK = 0x01, 0x02, 0x03, 0x04, 0x05, 0x06

local directions = { [0] = "controller to devices", [1] = "devices to controller" }
local outcomes = {
  [0] = "good",
  [1] = "bad (check byte wrong or too long)",
  [2] = "time-out",
  [3] = "port failure",
}
local control_names = { [SOH] = "SOH", [STX] = "STX", [ETX] = "ETX", [EOT] = "EOT",
                        [ENQ] = "ENQ", [ACK] = "ACK" }

local commands = {
  C = "card poll", R = "counter poll", I = "input poll",
  A = "acknowledge barcode", D = "acknowledge disc code", E = "acknowledge escrow lever",
  J = "acknowledge printer status", K = "acknowledge button",
  L = "acknowledge input report / sign text", U = "acknowledge cash box",
  Z = "acknowledge deposit", G = "open gate with pulse and message",
  B = "show message", O = "hold gate up", X = "release gate",
  o = "hold gate up (with clock)", x = "release gate (with clock)", M = "set clock",
  W = "outputs on", F = "outputs off", P = "pulse output", Y = "acknowledge ticket",
}
local replies = {
  ["#"] = "barcode", C = "card data", D = "disc code", E = "escrow lever",
  I = "input status", J = "printer status", K = "button", L = "input report",
  M = "memory card", P = "power-up", R = "counters", U = "cash box", Z = "deposit",
  p = "power-up (clock-stamped gate commands)",
}
local polls = { C = true, R = true, I = true }

local f = orlo.fields
f.version = ProtoField.uint8("orlocard.version", "Record layout")
f.direction = ProtoField.uint8("orlocard.direction", "Direction", base.DEC, directions)
f.outcome = ProtoField.uint8("orlocard.outcome", "Outcome", base.DEC, outcomes)
f.polled = ProtoField.uint8("orlocard.polled", "Address talked to")
f.loop = ProtoField.uint16("orlocard.loop", "Loop id")
f.port = ProtoField.uint16("orlocard.port", "COM port")
f.type = ProtoField.string("orlocard.type", "Frame type")
f.noise = ProtoField.bytes("orlocard.noise", "Bytes before the frame")
f.start = ProtoField.uint8("orlocard.start", "Start byte", base.HEX, control_names)
f.address = ProtoField.int16("orlocard.address", "Address")
f.letter = ProtoField.string("orlocard.letter", "Letter")
f.data = ProtoField.bytes("orlocard.data", "Data")
f.text = ProtoField.string("orlocard.text", "Data as text")
f.stop = ProtoField.uint8("orlocard.end", "End byte", base.HEX, control_names)
f.check = ProtoField.uint8("orlocard.check", "Check byte", base.HEX)
f.check_ok = ProtoField.bool("orlocard.check_ok", "Check byte right")

local e_check = ProtoExpert.new("orlocard.check_bad", "Check byte wrong", expert.group.CHECKSUM,
                                expert.severity.WARN)
local e_short = ProtoExpert.new("orlocard.short", "Frame incomplete", expert.group.MALFORMED,
                                expert.severity.WARN)
orlo.experts = { e_check, e_short }

-- Printable ASCII as it is, anything else (and \ and ") as \xHH.
local function escaped(range)
  if range == nil then return "" end
  local out = {}
  for i = 0, range:len() - 1 do
    local b = range(i, 1):uint()
    local plain = b >= 0x20 and b < 0x7f and b ~= 0x5c and b ~= 0x22
    out[#out + 1] = plain and string.char(b) or string.format("\\x%02X", b)
  end
  return table.concat(out)
end

local function xor(tvb, from, to)
  local sum = 0
  for i = from, to do sum = bit.bxor(sum, tvb(i, 1):uint()) end
  return sum
end

-- Address byte, letter and data of a frame; data from first to last (inclusive).
local function add_body(tree, tvb, at, first, last, names)
  tree:add(f.address, tvb(at, 1), tvb(at, 1):uint() - 0x30)
  local letter = tvb(at + 1, 1):string()
  tree:add(f.letter, tvb(at + 1, 1)):append_text(" (" .. (names[letter] or "unknown") .. ")")
  local text = ""
  if last >= first then
    tree:add(f.data, tvb(first, last - first + 1))
    text = escaped(tvb(first, last - first + 1))
    tree:add(f.text, tvb(first, last - first + 1), text)
  end
  return letter, text
end

local function check(tree, tvb, at, expected)
  tree:add(f.check, tvb(at, 1))
  local ok = tvb(at, 1):uint() == expected
  local item = tree:add(f.check_ok, tvb(at, 1), ok)
  if not ok then item:add_proto_expert_info(e_check) end
  return ok
end

local function describe(letter, names)
  if letter == nil then return "" end
  return letter .. " " .. (names[letter] or "unknown")
end

local function dissect_command(tvb, pinfo, tree, polled)
  local n = tvb:len()
  if n < 5 then
    tree:add(f.type, "incomplete command"):add_proto_expert_info(e_short)
    pinfo.cols.info = string.format("To %d: incomplete command", polled)
    return
  end
  tree:add(f.start, tvb(0, 1))
  local letter, text = add_body(tree, tvb, 1, 3, n - 3, commands)
  tree:add(f.stop, tvb(n - 2, 1))
  local ok = check(tree, tvb, n - 1, xor(tvb, 1, n - 2))
  local kind = (polls[letter] and n == 5) and "poll" or "command"
  tree:add(f.type, kind)
  local address = tvb(1, 1):uint() - 0x30
  pinfo.cols.info = string.format("To %d: %s%s%s", address, describe(letter, commands),
                                  text ~= "" and " \"" .. text .. "\"" or "",
                                  ok and "" or " [check byte wrong]")
end

-- Reads a reply the way the controller does: SOH starts (and restarts) the
-- frame, ACK outside the check byte ends it at once, EOT announces the check byte.
local function dissect_reply(tvb, pinfo, tree, polled, outcome)
  local n = tvb:len()
  local soh, eot, ack
  for i = 0, n - 1 do
    if eot ~= nil then break end
    local b = tvb(i, 1):uint()
    if b == ACK then ack = i break end
    if b == EOT then eot = i elseif b == SOH then soh = i end
  end
  local what = outcomes[outcome] or "unknown outcome"
  if n == 0 then
    tree:add(f.type, "no reply")
    pinfo.cols.info = string.format("No reply from %d (%s)", polled, what)
    return
  end
  if ack ~= nil then
    if ack > 0 then tree:add(f.noise, tvb(0, ack)) end
    tree:add(f.start, tvb(ack, 1))
    tree:add(f.type, "ACK")
    pinfo.cols.info = string.format("From %d: ACK", polled)
    return
  end
  if soh == nil or eot == nil or eot + 1 >= n or eot < soh + 3 then
    tree:add(f.type, "incomplete reply"):add_proto_expert_info(e_short)
    if soh ~= nil and soh > 0 then tree:add(f.noise, tvb(0, soh)) end
    pinfo.cols.info = string.format("From %d: incomplete reply \"%s\" (%s)", polled,
                                    escaped(tvb(0, n)), what)
    return
  end
  if soh > 0 then tree:add(f.noise, tvb(0, soh)) end
  tree:add(f.start, tvb(soh, 1))
  local letter, text = add_body(tree, tvb, soh + 1, soh + 3, eot - 1, replies)
  tree:add(f.stop, tvb(eot, 1))
  local ok = check(tree, tvb, eot + 1, xor(tvb, soh + 1, eot))
  tree:add(f.type, "reply")
  pinfo.cols.info = string.format("From %d: %s%s%s", tvb(soh + 1, 1):uint() - 0x30,
                                  describe(letter, replies),
                                  text ~= "" and " \"" .. text .. "\"" or "",
                                  ok and "" or " [check byte wrong]")
end

function orlo.dissector(tvb, pinfo, tree)
  if tvb:len() < 8 then return 0 end
  pinfo.cols.protocol = "ORLOCARD"
  local direction = tvb(1, 1):uint()
  local outcome = tvb(2, 1):uint()
  local polled = tvb(3, 1):uint()
  local root = tree:add(orlo, tvb(), "orlocard reader bus")
  local record = root:add(tvb(0, 8), "Trace record")
  record:add(f.version, tvb(0, 1))
  record:add(f.direction, tvb(1, 1))
  record:add(f.outcome, tvb(2, 1))
  record:add(f.polled, tvb(3, 1))
  record:add(f.loop, tvb(4, 2))
  record:add(f.port, tvb(6, 2))
  local device = "device " .. polled
  pinfo.cols.src = direction == 0 and "controller" or device
  pinfo.cols.dst = direction == 0 and device or "controller"
  -- The frame on its own, so that offsets in it count from its first byte.
  local frame = tvb:len() > 8 and tvb(8):tvb() or ByteArray.new():tvb("no bytes")
  if direction == 0 then
    dissect_command(frame, pinfo, root, polled)
  else
    dissect_reply(frame, pinfo, root, polled, outcome)
  end
  return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, orlo)
