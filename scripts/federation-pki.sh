#!/usr/bin/env bash
# Makes a test PKI for federated registries (svcregd --federation-security=OUT/<device>):
#   OUT/ca/        the identity CA and the permissions CA, two CAs with keys of their own
#   OUT/<device>/  identity_ca.pem, permissions_ca.pem, device.pem and device.key (subject
#                  CN=<device>,O=svcreg, signed by the identity CA), governance.p7s and
#                  permissions.p7s (signed by the permissions CA)
# The CAs in OUT/ca are kept when they are there already, so that a device added later joins
# the same federation.
#   --with-ddsperf  also lets each device publish and subscribe the topics of ddsperf in its
#                   partitions and the default one, to measure the link beside the registry
set -euo pipefail

usage() {
    echo "usage: $0 [--with-ddsperf] OUT DEVICE..." >&2
    exit 2
}

with_ddsperf=false
if [[ ${1:-} == --with-ddsperf ]]; then
    with_ddsperf=true
    shift
fi
(($# >= 2)) || usage
out=$1
shift
for device in "$@"; do
    # The name is a DDS partition and a folder: letters, digits, '.', '_' and '-' only.
    [[ $device =~ ^[A-Za-z0-9][A-Za-z0-9._-]{0,62}$ ]] || {
        echo "$0: device name '$device' is not [A-Za-z0-9][A-Za-z0-9._-]*" >&2
        exit 2
    }
done

days=365
key_options=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)

make_ca() {
    local name=$1 subject=$2 usage=$3
    [[ -s $out/ca/$name.pem && -s $out/ca/$name.key ]] && return
    openssl req -x509 "${key_options[@]}" -days "$days" -subj "$subject" \
        -addext basicConstraints=critical,CA:TRUE -addext "keyUsage=critical,$usage" \
        -keyout "$out/ca/$name.key" -out "$out/ca/$name.pem" 2>/dev/null
    chmod 600 "$out/ca/$name.key"
}

# Who may join and what is protected: every participant authenticated, every message encrypted
# whole (RTPS protection), discovery and liveliness encrypted, and every topic's readers and
# writers checked against the permissions.
governance_xml() {
    cat <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<dds>
  <domain_access_rules>
    <domain_rule>
      <domains><id_range><min>0</min><max>230</max></id_range></domains>
      <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
      <enable_join_access_control>true</enable_join_access_control>
      <discovery_protection_kind>ENCRYPT</discovery_protection_kind>
      <liveliness_protection_kind>ENCRYPT</liveliness_protection_kind>
      <rtps_protection_kind>ENCRYPT</rtps_protection_kind>
      <topic_access_rules>
        <topic_rule>
          <topic_expression>*</topic_expression>
          <enable_discovery_protection>true</enable_discovery_protection>
          <enable_liveliness_protection>true</enable_liveliness_protection>
          <enable_read_access_control>true</enable_read_access_control>
          <enable_write_access_control>true</enable_write_access_control>
          <metadata_protection_kind>NONE</metadata_protection_kind>
          <data_protection_kind>NONE</data_protection_kind>
        </topic_rule>
      </topic_access_rules>
    </domain_rule>
  </domain_access_rules>
</dds>
EOF
}

# The device publishes only in its own partition, which is how its name is bound to its
# certificate, and reads every device's.
permissions_xml() {
    local device=$1 not_before=$2 not_after=$3 extra=""
    if $with_ddsperf; then
        extra="
      <allow_rule>
        <domains><id_range><min>0</min><max>230</max></id_range></domains>
        <publish>
          <topics><topic>DDSPerf*</topic></topics>
          <partitions><partition>*</partition></partitions>
        </publish>
        <publish><topics><topic>DDSPerf*</topic></topics></publish>
        <subscribe>
          <topics><topic>DDSPerf*</topic></topics>
          <partitions><partition>*</partition></partitions>
        </subscribe>
        <subscribe><topics><topic>DDSPerf*</topic></topics></subscribe>
      </allow_rule>"
    fi
    cat <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<dds>
  <permissions>
    <grant name="svcreg.$device">
      <subject_name>CN=$device,O=svcreg</subject_name>
      <validity>
        <not_before>$not_before</not_before>
        <not_after>$not_after</not_after>
      </validity>
      <allow_rule>
        <domains><id_range><min>0</min><max>230</max></id_range></domains>
        <publish>
          <topics><topic>*</topic></topics>
          <partitions><partition>svcreg.$device</partition></partitions>
        </publish>
        <subscribe>
          <topics><topic>*</topic></topics>
          <partitions><partition>svcreg.*</partition></partitions>
        </subscribe>
      </allow_rule>$extra
      <default>DENY</default>
    </grant>
  </permissions>
</dds>
EOF
}

sign() {
    openssl smime -sign -text -in "$1" -out "$2" \
        -signer "$out/ca/permissions_ca.pem" -inkey "$out/ca/permissions_ca.key"
}

make_device() {
    local device=$1 folder=$out/$1 not_before not_after
    mkdir -p "$folder"
    openssl req "${key_options[@]}" -subj "/CN=$device/O=svcreg" \
        -keyout "$folder/device.key" -out "$folder/device.csr" 2>/dev/null
    chmod 600 "$folder/device.key"
    openssl x509 -req -in "$folder/device.csr" -days "$days" -set_serial "0x$(openssl rand -hex 8)" \
        -CA "$out/ca/identity_ca.pem" -CAkey "$out/ca/identity_ca.key" \
        -out "$folder/device.pem" 2>/dev/null
    rm "$folder/device.csr"
    cp "$out/ca/identity_ca.pem" "$out/ca/permissions_ca.pem" "$folder/"
    cp "$out/ca/governance.p7s" "$folder/"
    not_before=$(date -u +%Y-%m-%dT%H:%M:%S)
    not_after=$(date -u -d "+$days days" +%Y-%m-%dT%H:%M:%S)
    permissions_xml "$device" "$not_before" "$not_after" >"$folder/permissions.xml"
    sign "$folder/permissions.xml" "$folder/permissions.p7s"
    rm "$folder/permissions.xml"
}

mkdir -p "$out/ca"
chmod 700 "$out/ca"
make_ca identity_ca "/CN=svcreg identity CA/O=svcreg" keyCertSign,cRLSign
# The permissions CA signs the documents itself: S/MIME's check of the signer wants its key
# usage to allow signatures.
make_ca permissions_ca "/CN=svcreg permissions CA/O=svcreg" keyCertSign,cRLSign,digitalSignature
governance_xml >"$out/ca/governance.xml"
sign "$out/ca/governance.xml" "$out/ca/governance.p7s"
for device in "$@"; do
    make_device "$device"
done
