#!/usr/bin/env bash
# libcodecctl.so exports the MPEG-TS library's functions that its users call
# (the decoder plug-in reaches them through libcodecctl).
# Usage: check_mpegts_exports.sh libcodecctl.so libmpegts.a
set -u
so=$1 archive=$2
exported=$(nm -D --defined-only "$so" | awk '{print $NF}' | sort -u)
defined=$(nm --defined-only "$archive" 2>/dev/null | awk '$2 ~ /^[TDR]$/ {print $3}' | sort -u)

# Always present: log hook, section demultiplexer, packet-header, section,
# PAT, PMT and descriptor-loop access.
required="mpegts_set_on_log section_dmux_ctor section_dmux_nocc_ctor section_dmux_dtor
section_dmux_process section_dmux_get_table_id section_dmux_get_section_length
section_dmux_get_section tsphGetPid tsphGetTSScramblingCtrl tsGetTableId tsGetVersion
tsGetSectionNumber tsGetLastSectionNumber tsGetProgramNumber tsGetCompleteTableLength
tsTestCRC tsGetPatNumPrograms tsGetPatProgramNumber tsGetPatProgramPid
tsGetPmtProgramInfoLength tsGetPmtPCRPid get_pmt_entry tsGetPmtEntryPID
tsGetPmtEntryStreamType tsGetPmtEntryESInfoLength descriptor_loop_next
descriptor_get_data strings_descriptor_type"
# Exported once the MPEG-TS library provides them (ATSC STT and RRT,
# multiple strings, CA descriptors, BISS-CA, CISSA).
later="tsGetSttSystemTime tsGetSttGpsUtcOffset tsGetSttDsStatus tsGetRrtRatingRegionName
tsGetRrtDimensionsDefined tsGetRrtDimension tsGetRrtDimensionValuesDefined
tsGetRrtDimensionName ms_segment_get_bytes ms_segment_get_number_bytes ms_get_string
ca_descr_is_biss2ca ca_descr_is_biss1m1 ca_descr_get_ca_pid ca_descr_get_biss2ca_esid
ca_descr_get_biss2ca_onid biss2ca_pub_key_pem_to_ekid biss2ca_ekid_to_string
biss2ca_rx_ctor biss2ca_rx_dtor biss2ca_rx_get_key_id biss2ca_rx_process_ecm
biss2ca_rx_process_emm biss2ca_rx_has_session_word biss2ca_rx_get_session_word
biss2ca_rx_is_entitled biss2ca_rx_prevent_descrambled_forward
biss2ca_rx_prevent_decoded_forward cissa_ctx_ctor cissa_ctx_set_key cissa_ctx_crypt"

status=0
has() { grep -qx "$1" <<<"$2"; }
for n in $required; do
  has "$n" "$exported" || { echo "not exported: $n"; status=1; }
done
pending=0
for n in $later; do
  if has "$n" "$defined"; then
    has "$n" "$exported" || { echo "defined in the archive but not exported: $n"; status=1; }
  else
    pending=$((pending + 1))
  fi
done
echo "$(wc -w <<<"$required") required names exported; $pending later names not yet in the MPEG-TS library"
exit $status
