#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets: a few AVDECC frames and a small entity model."""
import json
import struct
from pathlib import Path

here = Path(__file__).parent
ENTITY = 0x001122FFFE334455
MCAST = bytes.fromhex("91e0f0010000")
CTRL_MAC = bytes.fromhex("020000000001")


def avtp(subtype, message_type, length, body, dest=MCAST):
    head = dest + CTRL_MAC + b"\x22\xf0" + bytes([subtype, message_type & 0xF])
    head += struct.pack(">H", length & 0x7FF)
    return head + body


def aecp(message_type, payload):
    body = struct.pack(">QQH", ENTITY, 0xC0FFEE, 1) + payload
    return avtp(0xFB, message_type, len(body) - 8, body)


frames = {
    "milan_info": aecp(6, bytes.fromhex("001bc50ac100") + b"\x00\x00" + b"\x00" * 2),
    "vu_other": aecp(6, bytes.fromhex("001bc50ac100") + b"\x00\x05" + b"\x00" * 12),
    "aa_read": aecp(2, struct.pack(">HHQ", 1, 8, 0x4C4F474F) + b"\x00" * 8),
    "aem_read_descriptor": aecp(0, struct.pack(">HHHHH", 4, 0, 0, 0, 0)),
    "aem_lock": aecp(0, struct.pack(">HIQHH", 1, 0, 0, 0, 0)),
    "aem_register": aecp(0, struct.pack(">H", 36)),
    "aem_set_name": aecp(0, struct.pack(">HHHHH", 16, 5, 0, 0, 0) + b"Stage left".ljust(64, b"\x00")),
    "aem_set_stream_format": aecp(0, struct.pack(">HHHQ", 8, 6, 0, 0x0205022002006000)),
    "aem_set_stream_info": aecp(0, struct.pack(">HHHI", 14, 6, 1, 0x20000000) + b"\x00" * 16
                                + struct.pack(">I", 2000000) + b"\x00" * 24),
    "aem_get_stream_info": aecp(0, struct.pack(">HHH", 15, 5, 0)),
    "aem_set_rate": aecp(0, struct.pack(">HHHI", 20, 2, 0, 96000)),
    "aem_set_clock_source": aecp(0, struct.pack(">HHHHH", 22, 0x24, 0, 3, 0)),
    "aem_set_control": aecp(0, struct.pack(">HHHB", 24, 0x1A, 0, 0xFF)),
    "aem_get_counters": aecp(0, struct.pack(">HHH", 41, 9, 1)),
    "aem_get_as_path": aecp(0, struct.pack(">HHH", 40, 0, 0)),
    "aem_get_audio_map": aecp(0, struct.pack(">HHHHH", 43, 14, 0, 0, 0)),
    "aem_start_operation": aecp(0, struct.pack(">HHHHHQ", 52, 11, 0, 0, 4, 16)),
    "aem_reboot": aecp(0, struct.pack(">HHH", 42, 0, 0)),
    "aem_controller_available_response": aecp(1, struct.pack(">H", 3)),
    "adp_discover": avtp(0xFA, 2, 56, b"\x00" * 64),
    "acmp_bind": avtp(0xFC, 6, 44, struct.pack(">QQQQ", 0, 0xC0FFEE, 1, ENTITY) + b"\x00" * 20),
}
for name, frame in frames.items():
    (here / "seeds/frames" / name).write_bytes(b"\x00" + frame)


def linear_u8():
    return {"LinearUint8": [{"minimum": 0, "maximum": 255, "step": 255, "default": 0,
                             "current": 0, "unit": 0, "string": 65535}]}


def control(name):
    return {"object_name": name, "localized_description": "Identify on/off", "block_latency": 0,
            "control_latency": 0, "control_domain": 0, "control_type": "0x90e0f00000000001",
            "reset_time": 0, "signal_type": "0xffff", "signal_index": 0, "signal_output": 0,
            "read_only": False, "unknown": False, "values": linear_u8()}


cluster = {"object_name": "Input 1", "localized_description": "", "signal_type": "0xffff",
           "signal_index": 0, "signal_output": 0, "path_latency": 0, "block_latency": 0,
           "channel_count": 1, "format": "0x40"}
port = {"clock_domain_index": 0, "port_flags": 0, "controls": [], "clusters": [cluster],
        "maps": [{"audio_mapping": [{"stream_index": 0, "stream_channel": 0,
                                     "cluster_offset": 0, "cluster_channel": 0}]}],
        "maps_dyn": [], "maps_dyn_partition": {"start": 0, "end": 0}}
placeholders = ["signal_selectors", "mixers", "matrices", "splitters", "combiners",
                "demultiplexers", "multiplexers", "transcoders"]
unit = {"object_name": "", "localized_description": "", "clock_domain_index": 0,
        "input_stream_ports": [port], "output_stream_ports": [port],
        "input_external_ports": [], "output_external_ports": [], "input_internal_ports": [],
        "output_internal_ports": [], "controls": []}
unit.update({k: [] for k in placeholders})
unit.update({"control_blocks": [], "current_sampling_rate": 48000,
             "sampling_rates": [44100, 48000]})
stream = {"object_name": "Primary Input Stream 1", "localized_description": "",
          "clock_domain_index": 0, "stream_flags": "0x03",
          "current_stream_format": "0x205022002006000", "backup_talker_entity_id0": "0x00",
          "backup_talker_unique0": 0, "backup_talker_entity_id1": "0x00",
          "backup_talker_unique1": 0, "backup_talker_entity_id2": "0x00",
          "backup_talker_unique2": 0, "backedup_talker_entity_id": "0x00",
          "backedup_talker_unique": 0, "avb_interface_index": 0, "buffer_length": 2666000,
          "stream_formats": ["0x215022002006000"], "presentation_time_offset": None,
          "redundant_streams": [1]}
configuration = {"object_name": "Main Configuration", "localized_description": "",
                 "audio_units": [unit], "video_units": [], "sensor_units": [],
                 "input_streams": [stream], "output_streams": [stream],
                 "input_jacks": [{"object_name": "Word Clock Input",
                                  "localized_description": "", "jack_flags": "0x01",
                                  "jack_type": "0x09", "controls": []}],
                 "output_jacks": [],
                 "avb_interfaces": [{"object_name": "AVB Interface",
                                     "localized_description": "",
                                     "mac_address": [0, 17, 34, 51, 68, 85],
                                     "clock_identity": "0x1122fffe334455",
                                     "interface_flags": "0x07", "priority1": 248,
                                     "clock_class": 248, "offset_scaled_log_variance": 17258,
                                     "clock_accuracy": 254, "priority2": 248,
                                     "domain_number": 0, "log_sync_interval": -3,
                                     "log_announce_interval": 0, "log_pdelay_interval": 0,
                                     "port_number": 1}],
                 "clock_sources": [{"object_name": "Internal", "localized_description": "",
                                    "clock_source_flags": "0x00", "clock_source_type": "0x00",
                                    "clock_source_id": "0x6c8f2a0000000000",
                                    "clock_source_location_type": 10,
                                    "clock_source_location_index": 0}]}
configuration.update({k: [] for k in placeholders})
configuration.update({
    "memory_objects": [{"object_name": "Entity Image", "localized_description": "",
                        "memory_object_type": "0x0a", "target_descriptor_type": "0x00",
                        "target_descriptor_index": 0, "start_address": "0x4c4f474f",
                        "maximum_length": "0x04", "length": "0x04", "data_url": "",
                        "data": [137, 80, 78, 71]}],
    "clock_domains": [{"object_name": "Clock Domain", "localized_description": "",
                       "clock_source_index": 0, "clock_sources": [0]}],
    "control_blocks": [], "controls": [control("Identify")],
    "locales": [{"locale_identifier": "en",
                 "locale_strings": [{"strings": ["Telvar", "Quenta Zelo"]}]}]})
entity = {"entity_id": "0x1122fffe334455", "entity_model_id": "0x6c8f2afffed72000",
          "entity_capabilities": "0xc58a", "talker_stream_sources": 1,
          "talker_capabilities": "0x4801", "listener_stream_sinks": 1,
          "listener_capabilities": "0x4801", "controller_capabilities": "0x00",
          "association_id": "0x00", "entity_name": "Quenta Zelo", "vendor_name": "Telvar",
          "model_name": "Quenta Zelo", "firmware_version": "1.0.0-v1", "group_name": "",
          "serial_number": "unknown", "current_configuration": 0,
          "configurations": [configuration],
          "milan_info": {"features_flags": {"bits": 3}, "certification_version": 16842752}}
(here / "seeds/json/small_entity.json").write_text(json.dumps(entity))
