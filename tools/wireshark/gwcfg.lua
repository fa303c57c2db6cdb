-- gwcfg.lua - Wireshark dissector of the gateway configuration protocol
-- (UDP port 48321): discovery request and reply, command datagram and its
-- acknowledgement (server_ack_msg), update datagram, and the 1024-byte
-- configuration block inside replies and updates, key by key with the
-- values and units `gwcfg show --keys` prints.
--
-- Try it on a capture (gwcfg --capture FILE writes one):
--   tshark -X lua_script:/usr/lib/x86_64-linux-gnu/wireshark/plugins/gwcfg.lua \
--          -r capture.pcap -O gwcfg
-- The gwcfg package installs it in Wireshark's global Lua plugin folder, so
-- Wireshark and tshark load it by themselves. Another port: Decode As...
-- gwcfg (tshark -d udp.port==N,gwcfg) or the preference gwcfg.port.
-- Display filters: gwcfg, gwcfg.kind == "discovery reply",
-- gwcfg.gateway_conf.server_address == "eu1.example.net", gwcfg.mac, ...
-- See docs/wireshark.md.
--
-- The part between the marker lines is generated from the codec's key table
-- and the protocol's wire facts by tools/wireshark/lua_table.cpp (a test
-- fails when it drifts: rewrite it with `lua_table --write gwcfg.lua`).
-- Everything else is written by hand.

-- generated from the key table (codec/key_table.cpp) by tools/wireshark/lua_table.cpp
local WIRE = {
  port = 48321,
  search_len = 24, command_len = 80, update_len = 1048,
  reply_len = 1033, ack_len = 32, recv_buf = 1200,
  search_magic = "Vorna Inc. QLM ", marker = 86,
  mac_size = 6,
  command_mac = 34, command_text = 40, command_text_field = 12,
  argument = 52, argument_field = 20,
  service_ip = 72, service_port = 76, service_type = 78,
  update_mac = 16, update_block = 24,
  reply_mac = 1, reply_block = 8, reply_checksum = 1032,
  ack_text_offset = 8, ack_text = "ReceiveConfig",
  commands = { "Reboot", "TimeSync", "ClrCfgBuf", "Confirm" },
}

local BLOCK = {
  size = 1024, magic = "GWCB", version_offset = 4,
  oldest_version = 1, version = 2, crc_offset = 1020,
}

-- Every key of the block, in block order: path, kind, offset and size in
-- the block, unit, the first layout version that carries it, the range
-- the codec accepts (integer kinds), and its meaning.
local KEYS = {
  { path = "SX1301_conf.lorawan_public", kind = "bool", offset = 144, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "LoRaWAN public network sync word (false: private network)" },
  { path = "SX1301_conf.clksrc", kind = "u8", offset = 145, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "radio whose clock drives the concentrator: 0 radio_0, 1 radio_1" },
  { path = "SX1301_conf.tx_lut_count", kind = "u8", offset = 146, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "TX gain table counter; never written to global_conf.json, which always carries all sixteen entries" },
  { path = "SX1301_conf.radio_0.freq", kind = "u32", offset = 148, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "centre frequency of the radio" },
  { path = "SX1301_conf.radio_0.rssi_offset", kind = "f32", offset = 152, size = 4, unit = "dB", since = 1,
    meaning = "RSSI correction of the radio" },
  { path = "SX1301_conf.radio_0.enable", kind = "bool", offset = 156, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio in use" },
  { path = "SX1301_conf.radio_0.tx_enable", kind = "bool", offset = 157, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio may transmit" },
  { path = "SX1301_conf.radio_0.type", kind = "text", offset = 158, size = 11, unit = "", since = 1,
    meaning = "radio model" },
  { path = "SX1301_conf.radio_1.freq", kind = "u32", offset = 172, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "centre frequency of the radio" },
  { path = "SX1301_conf.radio_1.rssi_offset", kind = "f32", offset = 176, size = 4, unit = "dB", since = 1,
    meaning = "RSSI correction of the radio" },
  { path = "SX1301_conf.radio_1.enable", kind = "bool", offset = 180, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio in use" },
  { path = "SX1301_conf.radio_1.tx_enable", kind = "bool", offset = 181, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio may transmit" },
  { path = "SX1301_conf.radio_1.type", kind = "text", offset = 182, size = 11, unit = "", since = 1,
    meaning = "radio model" },
  { path = "SX1301_conf.chan_multiSF_0.enable", kind = "bool", offset = 196, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_0.radio", kind = "u8", offset = 197, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_0.if", kind = "i32", offset = 200, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_0.bandwidth", kind = "u32", offset = 204, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_0.datarate", kind = "u32", offset = 208, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_multiSF_1.enable", kind = "bool", offset = 212, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_1.radio", kind = "u8", offset = 213, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_1.if", kind = "i32", offset = 216, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_1.bandwidth", kind = "u32", offset = 220, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_1.datarate", kind = "u32", offset = 224, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_multiSF_2.enable", kind = "bool", offset = 228, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_2.radio", kind = "u8", offset = 229, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_2.if", kind = "i32", offset = 232, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_2.bandwidth", kind = "u32", offset = 236, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_2.datarate", kind = "u32", offset = 240, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_multiSF_3.enable", kind = "bool", offset = 244, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_3.radio", kind = "u8", offset = 245, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_3.if", kind = "i32", offset = 248, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_3.bandwidth", kind = "u32", offset = 252, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_3.datarate", kind = "u32", offset = 256, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_multiSF_4.enable", kind = "bool", offset = 260, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_4.radio", kind = "u8", offset = 261, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_4.if", kind = "i32", offset = 264, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_4.bandwidth", kind = "u32", offset = 268, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_4.datarate", kind = "u32", offset = 272, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_multiSF_5.enable", kind = "bool", offset = 276, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_5.radio", kind = "u8", offset = 277, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_5.if", kind = "i32", offset = 280, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_5.bandwidth", kind = "u32", offset = 284, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_5.datarate", kind = "u32", offset = 288, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_multiSF_6.enable", kind = "bool", offset = 292, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_6.radio", kind = "u8", offset = 293, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_6.if", kind = "i32", offset = 296, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_6.bandwidth", kind = "u32", offset = 300, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_6.datarate", kind = "u32", offset = 304, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_multiSF_7.enable", kind = "bool", offset = 308, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_multiSF_7.radio", kind = "u8", offset = 309, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_multiSF_7.if", kind = "i32", offset = 312, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_multiSF_7.bandwidth", kind = "u32", offset = 316, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels are 125 kHz wide" },
  { path = "SX1301_conf.chan_multiSF_7.datarate", kind = "u32", offset = 320, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "never written to global_conf.json: multi-SF channels take SF7 to SF12" },
  { path = "SX1301_conf.chan_Lora_std.enable", kind = "bool", offset = 324, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_Lora_std.radio", kind = "u8", offset = 325, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_Lora_std.if", kind = "i32", offset = 328, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_Lora_std.bandwidth", kind = "u32", offset = 332, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "bandwidth of the LoRa standard channel" },
  { path = "SX1301_conf.chan_Lora_std.spread_factor", kind = "u32", offset = 336, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "spreading factor of the LoRa standard channel" },
  { path = "SX1301_conf.chan_FSK.enable", kind = "bool", offset = 340, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "channel in use" },
  { path = "SX1301_conf.chan_FSK.radio", kind = "u8", offset = 341, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "radio the channel receives through, 0 or 1" },
  { path = "SX1301_conf.chan_FSK.if", kind = "i32", offset = 344, size = 4, unit = "Hz", since = 1, min = -2147483648, max = 2147483647,
    meaning = "offset of the channel from its radio's frequency" },
  { path = "SX1301_conf.chan_FSK.bandwidth", kind = "u32", offset = 348, size = 4, unit = "Hz", since = 1, min = 0, max = 4294967295,
    meaning = "bandwidth of the FSK channel" },
  { path = "SX1301_conf.chan_FSK.datarate", kind = "u32", offset = 352, size = 4, unit = "bit/s", since = 1, min = 0, max = 4294967295,
    meaning = "data rate of the FSK channel" },
  { path = "SX1301_conf.tx_lut_0.dig_gain", kind = "u8", offset = 356, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_0.pa_gain", kind = "u8", offset = 357, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_0.mix_gain", kind = "u8", offset = 358, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_0.rf_power", kind = "i8", offset = 359, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_1.dig_gain", kind = "u8", offset = 360, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_1.pa_gain", kind = "u8", offset = 361, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_1.mix_gain", kind = "u8", offset = 362, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_1.rf_power", kind = "i8", offset = 363, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_2.dig_gain", kind = "u8", offset = 364, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_2.pa_gain", kind = "u8", offset = 365, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_2.mix_gain", kind = "u8", offset = 366, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_2.rf_power", kind = "i8", offset = 367, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_3.dig_gain", kind = "u8", offset = 368, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_3.pa_gain", kind = "u8", offset = 369, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_3.mix_gain", kind = "u8", offset = 370, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_3.rf_power", kind = "i8", offset = 371, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_4.dig_gain", kind = "u8", offset = 372, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_4.pa_gain", kind = "u8", offset = 373, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_4.mix_gain", kind = "u8", offset = 374, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_4.rf_power", kind = "i8", offset = 375, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_5.dig_gain", kind = "u8", offset = 376, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_5.pa_gain", kind = "u8", offset = 377, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_5.mix_gain", kind = "u8", offset = 378, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_5.rf_power", kind = "i8", offset = 379, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_6.dig_gain", kind = "u8", offset = 380, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_6.pa_gain", kind = "u8", offset = 381, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_6.mix_gain", kind = "u8", offset = 382, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_6.rf_power", kind = "i8", offset = 383, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_7.dig_gain", kind = "u8", offset = 384, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_7.pa_gain", kind = "u8", offset = 385, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_7.mix_gain", kind = "u8", offset = 386, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_7.rf_power", kind = "i8", offset = 387, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_8.dig_gain", kind = "u8", offset = 388, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_8.pa_gain", kind = "u8", offset = 389, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_8.mix_gain", kind = "u8", offset = 390, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_8.rf_power", kind = "i8", offset = 391, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_9.dig_gain", kind = "u8", offset = 392, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_9.pa_gain", kind = "u8", offset = 393, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_9.mix_gain", kind = "u8", offset = 394, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_9.rf_power", kind = "i8", offset = 395, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_10.dig_gain", kind = "u8", offset = 396, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_10.pa_gain", kind = "u8", offset = 397, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_10.mix_gain", kind = "u8", offset = 398, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_10.rf_power", kind = "i8", offset = 399, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_11.dig_gain", kind = "u8", offset = 400, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_11.pa_gain", kind = "u8", offset = 401, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_11.mix_gain", kind = "u8", offset = 402, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_11.rf_power", kind = "i8", offset = 403, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_12.dig_gain", kind = "u8", offset = 404, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_12.pa_gain", kind = "u8", offset = 405, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_12.mix_gain", kind = "u8", offset = 406, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_12.rf_power", kind = "i8", offset = 407, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_13.dig_gain", kind = "u8", offset = 408, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_13.pa_gain", kind = "u8", offset = 409, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_13.mix_gain", kind = "u8", offset = 410, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_13.rf_power", kind = "i8", offset = 411, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_14.dig_gain", kind = "u8", offset = 412, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_14.pa_gain", kind = "u8", offset = 413, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_14.mix_gain", kind = "u8", offset = 414, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_14.rf_power", kind = "i8", offset = 415, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "SX1301_conf.tx_lut_15.dig_gain", kind = "u8", offset = 416, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "digital gain" },
  { path = "SX1301_conf.tx_lut_15.pa_gain", kind = "u8", offset = 417, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "power amplifier gain" },
  { path = "SX1301_conf.tx_lut_15.mix_gain", kind = "u8", offset = 418, size = 1, unit = "", since = 1, min = 0, max = 255,
    meaning = "mixer gain" },
  { path = "SX1301_conf.tx_lut_15.rf_power", kind = "i8", offset = 419, size = 1, unit = "dBm", since = 1, min = -128, max = 127,
    meaning = "RF output power of the entry" },
  { path = "gateway_conf.gateway_ID", kind = "text", offset = 420, size = 20, unit = "", since = 1,
    meaning = "gateway EUI; empty: derived from the MAC address" },
  { path = "gateway_conf.server_address", kind = "text", offset = 440, size = 64, unit = "", since = 1,
    meaning = "network server: host name or IP address" },
  { path = "gateway_conf.serv_port_up", kind = "i32", offset = 504, size = 4, unit = "", since = 1, min = 0, max = 65535,
    meaning = "server port for upstream traffic" },
  { path = "gateway_conf.serv_port_down", kind = "i32", offset = 508, size = 4, unit = "", since = 1, min = 0, max = 65535,
    meaning = "server port for downstream traffic" },
  { path = "gateway_conf.keepalive_interval", kind = "i32", offset = 512, size = 4, unit = "s", since = 1, min = -2147483648, max = 2147483647,
    meaning = "interval of the forwarder's keep-alive requests to the server" },
  { path = "gateway_conf.stat_interval", kind = "u32", offset = 516, size = 4, unit = "s", since = 1, min = 0, max = 4294967295,
    meaning = "interval of the forwarder's statistics reports" },
  { path = "gateway_conf.push_timeout_ms", kind = "i32", offset = 520, size = 4, unit = "ms", since = 1, min = -2147483648, max = 2147483647,
    meaning = "how long the forwarder waits for the server to acknowledge uplinks" },
  { path = "gateway_conf.forward_crc_valid", kind = "bool", offset = 524, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "forward received packets whose CRC is valid" },
  { path = "gateway_conf.forward_crc_error", kind = "bool", offset = 525, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "forward received packets whose CRC failed" },
  { path = "gateway_conf.forward_crc_disabled", kind = "bool", offset = 526, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "forward received packets sent without CRC" },
  { path = "serverIP_conf.server_name", kind = "text", offset = 56, size = 16, unit = "", since = 1,
    meaning = "device name" },
  { path = "serverIP_conf.networkmode", kind = "u8", offset = 110, size = 1, unit = "", since = 1, min = 0, max = 1,
    meaning = "network mode: 1 fixed settings, 0 DHCP" },
  { path = "serverIP_conf.fixed_ip", kind = "ipv4", offset = 132, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "fixed address" },
  { path = "serverIP_conf.fixed_netmask", kind = "ipv4", offset = 136, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "fixed netmask" },
  { path = "serverIP_conf.fixed_gateway", kind = "ipv4", offset = 140, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "fixed default gateway" },
  { path = "device_info.revision", kind = "u32", offset = 8, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "configuration revision" },
  { path = "device_info.vendor", kind = "text", offset = 16, size = 24, unit = "", since = 1,
    meaning = "vendor text" },
  { path = "device_info.model", kind = "text", offset = 40, size = 16, unit = "", since = 1,
    meaning = "model text" },
  { path = "device_info.serial_no", kind = "text", offset = 72, size = 16, unit = "", since = 1,
    meaning = "serial number" },
  { path = "device_info.hw_id", kind = "text", offset = 88, size = 16, unit = "", since = 1,
    meaning = "hardware identifier" },
  { path = "device_info.mac", kind = "mac", offset = 104, size = 6, unit = "", since = 1,
    meaning = "MAC address, first byte first; equals the MAC of the discovery reply that carries the block" },
  { path = "device_info.ip", kind = "ipv4", offset = 112, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "live address" },
  { path = "device_info.netmask", kind = "ipv4", offset = 116, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "live netmask" },
  { path = "device_info.gateway", kind = "ipv4", offset = 120, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "live default gateway" },
  { path = "device_info.pri_dns", kind = "ipv4", offset = 124, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "live primary DNS server" },
  { path = "device_info.sec_dns", kind = "ipv4", offset = 128, size = 4, unit = "", since = 1, min = 0, max = 4294967295,
    meaning = "live secondary DNS server" },
  { path = "device_info.change_state", kind = "u8", offset = 6, size = 1, unit = "", since = 2, min = 0, max = 4,
    meaning = "state of the last change: 0 not watched, 1 watching, 2 confirmed, 3 rolled back, 4 failed (rolled back, and the configuration restored failed too)" },
  { path = "device_info.change_reason", kind = "u8", offset = 7, size = 1, unit = "", since = 2, min = 0, max = 3,
    meaning = "why: 0 none, 1 no forwarder started within the start timeout, 2 the forwarder exited within the window, 3 confirmed with gwcfg confirm" },
  { path = "device_info.change_revision", kind = "u32", offset = 12, size = 4, unit = "", since = 2, min = 0, max = 4294967295,
    meaning = "revision of the last change: the one watched, or the one rolled back" },
  { path = "device_info.change_seconds", kind = "u32", offset = 528, size = 4, unit = "s", since = 2, min = 0, max = 4294967295,
    meaning = "reason 1: the start timeout; reason 2: how long the forwarder ran" },
  { path = "device_info.change_left", kind = "u32", offset = 532, size = 4, unit = "s", since = 2, min = 0, max = 4294967295,
    meaning = "while a forwarder is watched: time until the verdict" },
}
-- end of generated text

local proto = Proto("gwcfg", "Gateway configuration protocol")

-- ---------------------------------------------------------------------------
-- Fields

local pf = {
  kind = ProtoField.string("gwcfg.kind", "Datagram"),
  magic = ProtoField.string("gwcfg.magic", "Discovery magic"),
  marker = ProtoField.uint8("gwcfg.marker", "Marker", base.HEX),
  mac = ProtoField.ether("gwcfg.mac", "MAC address"),
  reserved = ProtoField.bytes("gwcfg.reserved", "Reserved"),
  unexamined = ProtoField.bytes("gwcfg.unexamined", "Not examined by the gateway"),
  checksum = ProtoField.uint8("gwcfg.checksum", "Checksum", base.HEX),
  checksum_status = ProtoField.string("gwcfg.checksum.status", "Checksum status"),
  command = ProtoField.string("gwcfg.command", "Command"),
  argument = ProtoField.string("gwcfg.argument", "Argument"),
  service_ip = ProtoField.ipv4("gwcfg.service_ip", "service_ip"),
  service_port = ProtoField.uint16("gwcfg.service_port", "service_port"),
  service_type = ProtoField.uint16("gwcfg.service_type", "service_type"),
  ack_text = ProtoField.string("gwcfg.ack_text", "Acknowledgement text"),
  block = ProtoField.bytes("gwcfg.block", "Configuration block"),
  block_magic = ProtoField.string("gwcfg.block.magic", "Block magic"),
  block_version = ProtoField.uint16("gwcfg.block.version", "Layout version"),
  block_crc = ProtoField.uint32("gwcfg.block.crc", "CRC-32", base.HEX),
  block_crc_status = ProtoField.string("gwcfg.block.crc.status", "CRC-32 status"),
  section = ProtoField.none("gwcfg.section", "Section"),
}

-- One field per key, named by its path: gwcfg.SX1301_conf.radio_0.freq.
local KIND_FIELD = {
  bool = function(a, n, d) return ProtoField.bool(a, n, base.NONE, nil, nil, d) end,
  u8 = function(a, n, d) return ProtoField.uint8(a, n, base.DEC, nil, nil, d) end,
  i8 = function(a, n, d) return ProtoField.int8(a, n, base.DEC, nil, nil, d) end,
  i32 = function(a, n, d) return ProtoField.int32(a, n, base.DEC, nil, nil, d) end,
  u32 = function(a, n, d) return ProtoField.uint32(a, n, base.DEC, nil, nil, d) end,
  f32 = function(a, n, d) return ProtoField.float(a, n, d) end,
  ipv4 = function(a, n, d) return ProtoField.ipv4(a, n, d) end,
  text = function(a, n, d) return ProtoField.string(a, n, base.ASCII, d) end,
  mac = function(a, n, d) return ProtoField.ether(a, n, d) end,
}
for _, k in ipairs(KEYS) do
  k.field = KIND_FIELD[k.kind]("gwcfg." .. k.path, k.path, k.meaning)
  k.section = k.path:match("^[^.]+")
end

local fields = {}
for _, f in pairs(pf) do fields[#fields + 1] = f end
for _, k in ipairs(KEYS) do fields[#fields + 1] = k.field end
proto.fields = fields

local ef = {
  length = ProtoExpert.new("gwcfg.length.bad", "No datagram of the protocol has this length",
                           expert.group.MALFORMED, expert.severity.ERROR),
  short = ProtoExpert.new("gwcfg.captured.short", "Datagram not captured whole",
                          expert.group.MALFORMED, expert.severity.WARN),
  magic = ProtoExpert.new("gwcfg.magic.bad", "Wrong discovery magic: the gateway ignores it",
                          expert.group.PROTOCOL, expert.severity.WARN),
  marker = ProtoExpert.new("gwcfg.marker.bad", "A reply opens with 'V'",
                           expert.group.MALFORMED, expert.severity.ERROR),
  checksum = ProtoExpert.new("gwcfg.checksum.bad", "Bad reply checksum",
                             expert.group.CHECKSUM, expert.severity.ERROR),
  command = ProtoExpert.new("gwcfg.command.unknown", "Unknown command: the gateway only logs it",
                            expert.group.PROTOCOL, expert.severity.WARN),
  text = ProtoExpert.new("gwcfg.text.unterminated", "Text without its NUL inside the field",
                         expert.group.MALFORMED, expert.severity.WARN),
  ack = ProtoExpert.new("gwcfg.ack.bad", "Not the acknowledgement text",
                        expert.group.MALFORMED, expert.severity.ERROR),
  block_magic = ProtoExpert.new("gwcfg.block.magic.bad", "Not a configuration block",
                                expert.group.MALFORMED, expert.severity.ERROR),
  version = ProtoExpert.new("gwcfg.block.version.unknown", "Unknown block layout version",
                            expert.group.UNDECODED, expert.severity.WARN),
  crc = ProtoExpert.new("gwcfg.block.crc.bad", "Bad block CRC-32",
                        expert.group.CHECKSUM, expert.severity.ERROR),
  value = ProtoExpert.new("gwcfg.block.value.bad", "A value the codec refuses",
                          expert.group.MALFORMED, expert.severity.ERROR),
  reserved = ProtoExpert.new("gwcfg.block.reserved.bad", "Reserved bytes not zero",
                             expert.group.MALFORMED, expert.severity.ERROR),
  mac_mismatch = ProtoExpert.new("gwcfg.mac.mismatch",
                                 "The block's MAC address differs from the reply's",
                                 expert.group.PROTOCOL, expert.severity.WARN),
}
local experts = {}
for _, e in pairs(ef) do experts[#experts + 1] = e end
proto.experts = experts

proto.prefs.port = Pref.uint("UDP port", WIRE.port, "UDP port of the configuration service")

-- ---------------------------------------------------------------------------
-- Helpers

local function format_mac(raw)
  local parts = {}
  for i = 1, #raw do parts[i] = string.format("%02x", raw:byte(i)) end
  return table.concat(parts, ":")
end

local function format_ipv4(v)
  return string.format("%d.%d.%d.%d", math.floor(v / 16777216) % 256,
                       math.floor(v / 65536) % 256, math.floor(v / 256) % 256, v % 256)
end

-- The shortest "%g" text that reads back to the same single-precision
-- number, as the codec writes it.
local function format_float(v)
  local s
  for p = 1, 9 do
    s = string.format("%." .. p .. "g", v)
    if Struct.unpack(">f", Struct.pack(">f", tonumber(s))) == v then break end
  end
  return s
end

-- A NUL-terminated text field: the text, or nil when the field holds no NUL.
local function field_text(raw)
  local nul = raw:find("\0", 1, true)
  if not nul then return nil end
  return raw:sub(1, nul - 1)
end

local CRC_TABLE = {}
for i = 0, 255 do
  local c = i
  for _ = 1, 8 do
    if bit32.band(c, 1) ~= 0 then
      c = bit32.bxor(0xEDB88320, bit32.rshift(c, 1))
    else
      c = bit32.rshift(c, 1)
    end
  end
  CRC_TABLE[i] = c
end

local function crc32(raw)
  local c = 0xFFFFFFFF
  for i = 1, #raw do
    c = bit32.bxor(CRC_TABLE[bit32.band(bit32.bxor(c, raw:byte(i)), 0xFF)], bit32.rshift(c, 8))
  end
  return bit32.bxor(c, 0xFFFFFFFF)
end

local function byte_sum(raw)
  local s = 0
  for i = 1, #raw do s = (s + raw:byte(i)) % 256 end
  return s
end

-- Which key owns each byte of the block, per layout version (the bytes of a
-- key that came with a later version are reserved in an older one).
local owners = {}
local function owner_map(version)
  if owners[version] then return owners[version] end
  local map = {}
  for _, k in ipairs(KEYS) do
    if k.since <= version then
      for i = k.offset, k.offset + k.size - 1 do map[i] = k end
    end
  end
  owners[version] = map
  return map
end

local function known_command(text)
  for _, c in ipairs(WIRE.commands) do
    if c == text then return true end
  end
  return false
end

-- ---------------------------------------------------------------------------
-- The configuration block

-- One key's value: its text as the codec writes it, the value for the
-- field, and why the codec refuses it (nil when it takes it).
local function key_value(tvb, at, k)
  local r = tvb(at + k.offset, k.size)
  local kind = k.kind
  if kind == "bool" then
    local b = r:uint()
    if b > 1 then return tostring(b), true, string.format("flag byte %d, must be 0 or 1", b) end
    return b == 1 and "true" or "false", b == 1
  elseif kind == "u8" or kind == "u32" or kind == "i8" or kind == "i32" or kind == "ipv4" then
    local v = (kind == "i8" or kind == "i32") and r:int() or r:uint()
    local text = kind == "ipv4" and format_ipv4(v) or string.format("%d", v)
    if kind == "ipv4" then return text, nil end  -- the field reads the address itself
    if v < k.min or v > k.max then
      if k.path:match("%.radio$") then
        return text, v, string.format("radio index %d, must be 0 or 1", v)
      end
      return text, v, string.format("value %d out of range %d..%d", v, k.min, k.max)
    end
    return text, v
  elseif kind == "f32" then
    local v = r:float()
    if v ~= v or v == math.huge or v == -math.huge then
      return tostring(v), 0, "not a finite number"
    end
    return format_float(v), v
  elseif kind == "text" then
    local raw = r:raw()
    local text = field_text(raw)
    if not text then return raw, raw, "text not terminated" end
    for i = 1, #text do
      local c = text:byte(i)
      if c < 0x20 or c > 0x7E then
        return text, text,
               string.format("byte 0x%02X at position %d is not printable ASCII", c, i - 1)
      end
    end
    if raw:sub(#text + 1):find("[^%z]") then
      return text, text, "bytes after the terminator are not zero"
    end
    return text, text
  else -- mac
    local raw = r:raw()
    return format_mac(raw), nil
  end
end

-- The block at offset `at` of the datagram, under `tree`. Returns the
-- values of a few keys for the summary line (nil when not decoded).
local function dissect_block(tvb, pinfo, tree, at)
  local item = tree:add(pf.block, tvb(at, BLOCK.size))
  item:set_text("Configuration block (" .. BLOCK.size .. " bytes)")
  local raw = tvb:raw(at, BLOCK.size)
  local magic = raw:sub(1, 4)
  local mi = item:add(pf.block_magic, tvb(at, 4), magic)
  if magic ~= BLOCK.magic then
    mi:add_proto_expert_info(ef.block_magic, string.format(
      "Bad block magic %02X %02X %02X %02X (a configuration block starts with \"%s\")",
      raw:byte(1), raw:byte(2), raw:byte(3), raw:byte(4), BLOCK.magic))
    return nil
  end
  local version = tvb(at + BLOCK.version_offset, 2):uint()
  local vi = item:add(pf.block_version, tvb(at + BLOCK.version_offset, 2))
  local stored = tvb(at + BLOCK.crc_offset, 4):uint()
  local computed = crc32(raw:sub(1, BLOCK.crc_offset))
  local ci = item:add(pf.block_crc, tvb(at + BLOCK.crc_offset, 4))
  local cs = item:add(pf.block_crc_status, tvb(at + BLOCK.crc_offset, 4),
                      stored == computed and "good" or "bad")
  if stored ~= computed then
    ci:append_text(string.format(" [incorrect, should be 0x%08x]", computed))
    cs:add_proto_expert_info(ef.crc, string.format(
      "Bad block CRC-32 (stored 0x%08X, computed 0x%08X): the codec refuses this block",
      stored, computed))
  end
  if version < BLOCK.oldest_version or version > BLOCK.version then
    vi:add_proto_expert_info(ef.version, string.format(
      "Unknown block layout version %d (this dissector reads versions %d to %d)",
      version, BLOCK.oldest_version, BLOCK.version))
    return nil
  end

  local values = {}
  local sections = {}
  local section_order = {}
  for _, k in ipairs(KEYS) do
    if k.since <= version then
      local st = sections[k.section]
      if not st then
        st = item:add(pf.section, tvb(at, BLOCK.size))
        st:set_text(k.section)
        sections[k.section] = st
        section_order[#section_order + 1] = k.section
      end
      local text, value, fault = key_value(tvb, at, k)
      local range = tvb(at + k.offset, k.size)
      local ki
      if value == nil then
        ki = st:add(k.field, range)
      else
        ki = st:add(k.field, range, value)
      end
      local label = k.path .. ": " .. text
      if k.unit ~= "" then label = label .. " " .. k.unit end
      ki:set_text(label)
      if fault then
        ki:add_proto_expert_info(ef.value, k.path .. ": " .. fault .. " (the codec refuses the block)")
      end
      values[k.path] = text
    end
  end

  -- Reserved bytes: zero in every block the codec takes.
  local map = owner_map(version)
  local i = 6
  while i < BLOCK.crc_offset do
    if not map[i] and raw:byte(i + 1) ~= 0 then
      local j = i
      while j + 1 < BLOCK.crc_offset and not map[j + 1] do j = j + 1 end
      local ri = item:add(pf.reserved, tvb(at + i, j - i + 1))
      ri:add_proto_expert_info(ef.reserved, string.format(
        "Reserved byte at offset %d is 0x%02X, must be 0", i, raw:byte(i + 1)))
      i = j + 1
    else
      i = i + 1
    end
  end
  return values
end

-- ---------------------------------------------------------------------------
-- The datagrams

local function add_text(tree, field, tvb, offset, size)
  local raw = tvb:raw(offset, size)
  local text = field_text(raw)
  local item = tree:add(field, tvb(offset, size), text or raw)
  if not text then
    item:add_proto_expert_info(ef.text, "Text without its NUL inside its " .. size .. "-byte field")
  end
  return text or raw
end

local function reply_header(tvb, tree)
  local mi = tree:add(pf.marker, tvb(0, 1))
  if tvb(0, 1):uint() ~= WIRE.marker then
    mi:add_proto_expert_info(ef.marker, string.format(
      "Marker 0x%02X: a reply opens with 'V' (0x%02X)", tvb(0, 1):uint(), WIRE.marker))
  end
  tree:add(pf.mac, tvb(WIRE.reply_mac, WIRE.mac_size))
  tree:add(pf.reserved, tvb(WIRE.reply_mac + WIRE.mac_size, 1))
  return format_mac(tvb:raw(WIRE.reply_mac, WIRE.mac_size))
end

local function discovery_request(tvb, pinfo, tree)
  local n = #WIRE.search_magic
  local magic = tvb:raw(0, n)
  local mi = tree:add(pf.magic, tvb(0, n), magic)
  tree:add(pf.unexamined, tvb(n, WIRE.search_len - n))
  if magic ~= WIRE.search_magic then
    mi:add_proto_expert_info(ef.magic, "Wrong discovery magic (the gateway answers only \"" ..
                             WIRE.search_magic .. "\"): no gateway answers it")
    return "Discovery request with a wrong magic"
  end
  return "Discovery request"
end

local function discovery_reply(tvb, pinfo, tree)
  local mac = reply_header(tvb, tree)
  local values = dissect_block(tvb, pinfo, tree, WIRE.reply_block)
  local stored = tvb(WIRE.reply_checksum, 1):uint()
  local computed = byte_sum(tvb:raw(WIRE.reply_block, BLOCK.size))
  local ci = tree:add(pf.checksum, tvb(WIRE.reply_checksum, 1))
  local cs = tree:add(pf.checksum_status, tvb(WIRE.reply_checksum, 1),
                      stored == computed and "good" or "bad")
  if stored ~= computed then
    ci:append_text(string.format(" [incorrect, should be 0x%02x]", computed))
    cs:add_proto_expert_info(ef.checksum, string.format(
      "Bad checksum 0x%02X (the sum of the block's bytes is 0x%02X): gwcfg drops this reply",
      stored, computed))
  end
  local info = "Discovery reply from " .. mac
  if values then
    info = info .. ", revision " .. (values["device_info.revision"] or "?")
    local name = values["serverIP_conf.server_name"]
    if name and name ~= "" then info = info .. ", \"" .. name .. "\"" end
    local inner = values["device_info.mac"]
    if inner and inner ~= mac then
      tree:add_proto_expert_info(ef.mac_mismatch, "The block's MAC address " .. inner ..
                                 " differs from the reply's " .. mac)
    end
  end
  if stored ~= computed then info = info .. " [bad checksum]" end
  return info
end

local function command(tvb, pinfo, tree)
  tree:add(pf.unexamined, tvb(0, WIRE.command_mac))
  tree:add(pf.mac, tvb(WIRE.command_mac, WIRE.mac_size))
  local mac = format_mac(tvb:raw(WIRE.command_mac, WIRE.mac_size))
  local text = add_text(tree, pf.command, tvb, WIRE.command_text, WIRE.command_text_field)
  local arg = add_text(tree, pf.argument, tvb, WIRE.argument, WIRE.argument_field)
  tree:add(pf.service_ip, tvb(WIRE.service_ip, 4))
  tree:add(pf.service_port, tvb(WIRE.service_port, 2))
  tree:add(pf.service_type, tvb(WIRE.service_type, 2))
  if not known_command(text) then
    tree:add_proto_expert_info(ef.command, "Unknown command \"" .. text ..
                               "\": the gateway only logs it (known: " ..
                               table.concat(WIRE.commands, ", ") .. ")")
  end
  local info = "Command " .. text .. " to " .. mac
  if arg ~= "" then info = info .. " (" .. arg .. ")" end
  return info
end

local function ack(tvb, pinfo, tree)
  local mac = reply_header(tvb, tree)
  local n = #WIRE.ack_text + 1
  local text = add_text(tree, pf.ack_text, tvb, WIRE.ack_text_offset, n)
  local rest = WIRE.ack_text_offset + n
  tree:add(pf.reserved, tvb(rest, WIRE.ack_len - rest))
  if text ~= WIRE.ack_text then
    tree:add_proto_expert_info(ef.ack, "Acknowledgement text \"" .. text .. "\", not \"" ..
                               WIRE.ack_text .. "\": gwcfg does not take it")
  end
  return "Acknowledgement (" .. text .. ") from " .. mac
end

local function update(tvb, pinfo, tree)
  tree:add(pf.unexamined, tvb(0, WIRE.update_mac))
  tree:add(pf.mac, tvb(WIRE.update_mac, WIRE.mac_size))
  local gap = WIRE.update_mac + WIRE.mac_size
  tree:add(pf.unexamined, tvb(gap, WIRE.update_block - gap))
  local mac = format_mac(tvb:raw(WIRE.update_mac, WIRE.mac_size))
  local values = dissect_block(tvb, pinfo, tree, WIRE.update_block)
  local info = "Update to " .. mac
  if values then info = info .. ", revision " .. (values["device_info.revision"] or "?") end
  return info
end

local KINDS = {
  [WIRE.search_len] = { "discovery request", discovery_request },
  [WIRE.reply_len] = { "discovery reply", discovery_reply },
  [WIRE.command_len] = { "command", command },
  [WIRE.ack_len] = { "acknowledgement", ack },
  [WIRE.update_len] = { "update", update },
}

function proto.dissector(tvb, pinfo, tree)
  local len = tvb:reported_len()
  pinfo.cols.protocol = "GWCFG"
  local root = tree:add(proto, tvb())
  local kind = KINDS[len]
  if not kind then
    local what = string.format(
      "%d bytes: no datagram of the protocol has this length (discovery request %d, " ..
      "acknowledgement %d, command %d, discovery reply %d, update %d); the gateway and gwcfg " ..
      "ignore it", len, WIRE.search_len, WIRE.ack_len, WIRE.command_len, WIRE.reply_len,
      WIRE.update_len)
    if len > WIRE.recv_buf then
      what = what .. string.format(" (the gateway reads at most %d bytes of it)", WIRE.recv_buf)
    end
    root:add(pf.kind, tvb(), "unknown")
    root:add_proto_expert_info(ef.length, what)
    if len > 0 and len < WIRE.reply_len and tvb:len() > 0 and tvb(0, 1):uint() == WIRE.marker then
      pinfo.cols.info = string.format("Malformed: %d bytes (a truncated reply?)", len)
    else
      pinfo.cols.info = string.format("Malformed: %d bytes", len)
    end
    return tvb:len()
  end
  root:add(pf.kind, tvb(), kind[1])
  if tvb:len() < len then
    root:add_proto_expert_info(ef.short, string.format(
      "Only %d of the datagram's %d bytes were captured", tvb:len(), len))
    pinfo.cols.info = kind[1] .. " (not captured whole)"
    return tvb:len()
  end
  pinfo.cols.info = kind[2](tvb, pinfo, root)
  root:append_text(", " .. kind[1])
  return len
end

local udp = DissectorTable.get("udp.port")
local registered = proto.prefs.port
udp:add(registered, proto)

function proto.prefs_changed()
  if proto.prefs.port ~= registered then
    udp:remove(registered, proto)
    registered = proto.prefs.port
    udp:add(registered, proto)
  end
end
