-- morvastelle.lua
-- The MORVASTELLE dissector written in Lua, only for comparing the plugin
-- against what a user could script instead (bench/run-e2e.sh). Same names,
-- fields, port and hand-off as the plugin, so never load both at once.
--
-- SPDX-License-Identifier: GPL-2.0-or-later

local morvastelle = Proto("morvastelle", "MORVASTELLE Protocol")

local type_names = { [0] = "LAPD", [1] = "UNKNOWN" }
local f_data = ProtoField.none("morvastelle.data", "Data", "MORVASTELLE PDU")
local f_type = ProtoField.uint8("morvastelle.type", "Type", base.DEC, type_names, nil, "Package Type")
local f_isdn_port = ProtoField.string("morvastelle.isdn_port", "ISDN-Port", base.ASCII, "ISDN Port")
morvastelle.fields = { f_data, f_type, f_isdn_port }

local lapd = Dissector.get("lapd")
local data = Dissector.get("data")

function morvastelle.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "MORVASTELLE"
    pinfo.cols.info:clear()

    local subtree = tree:add(morvastelle, tvb())
    subtree:add(f_type, tvb(0, 1))
    local next_dissector = data
    local offset = 1
    if tvb(0, 1):uint() == 0 then
        local port_name_len = tvb(1, 1):uint()
        subtree:add(f_isdn_port, tvb(2, port_name_len))
        offset = 2 + port_name_len
        next_dissector = lapd
    end
    next_dissector:call(tvb(offset):tvb(), pinfo, tree)
    return tvb:len()
end

DissectorTable.get("udp.port"):add(4, morvastelle)
