#!/bin/bash
# Runs one scenario of the driver package on Wine's kernel in a prefix of its own.
#   run-scenario.sh ARCH SCENARIO DEBUG-LEVEL DIST-DIR TEST-IMAGES PRISTINE-PREFIX WORK-DIR
#
# The test bus is installed, the package's INF (with DebugLevel set to the
# level given) is made known to the PnP manager, and the client runs the
# scenario. The driver's DbgPrint lines reach Wine's log on the debugstr
# channel of winedevice, which inherits the first program's WINEDEBUG and
# standard error. The run fails on a failed check of the client, on a
# missing driver message, and on any unhandled exception in Wine's log.
set -u
arch=$1 scenario=$2 level=$3 dist=$4 images=$5 pristine=$6 work=$7

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
failures=0

rm -rf "$work"
mkdir -p "$work/package"
prefix=$work/prefix
log=$work/wine.log
out=$work/client.out

"$(dirname "$0")/copy-prefix.sh" "$pristine" "$prefix" || exit 1

cp "$dist/Wrenlok.sys" "$work/package/"
sed "s/^HKR,,DebugLevel,0x00010001,0\$/HKR,,DebugLevel,0x00010001,$level/" "$dist/Wrenlok.inf" >"$work/package/Wrenlok.inf"
grep -q "^HKR,,DebugLevel,0x00010001,$level\$" "$work/package/Wrenlok.inf" || { echo "the INF sets no DebugLevel"; exit 1; }

export WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
windows() { echo "Z:$(echo "$1" | tr / '\\')"; }
client=$images/WrenlokWineClient.exe

wineserver -p
trap 'wineserver -k 2>/dev/null' EXIT
WINEDEBUG=warn+debugstr,warn+setupapi,err+all timeout 60 wine "$client" install-bus "$(windows "$images/WrenlokTestBus.inf")" \
    >"$out" 2>"$log" || fail "the test bus does not install"
WINEDEBUG=warn+setupapi,err+all timeout 60 wine "$client" install-driver "$(windows "$work/package/Wrenlok.inf")" \
    >>"$out" 2>>"$log" || fail "the driver package is not accepted"
timeout 120 wine "$client" scenario "$scenario" >>"$out" 2>&1 || fail "the client reports failures"
# Ends winedevice too, so that everything it printed is in the log.
wineserver -k
wineserver -w
trap - EXIT

cat "$out"
summary=$(grep -a -E '^[0-9]+ passed, [0-9]+ failed' "$out" | tail -1)
[ -n "$summary" ] || fail "the client printed no summary"

driver_lines() { grep -a 'debugstr:vDbgPrintExWithPrefix' "$log" | sed 's/^.*vDbgPrintExWithPrefix [0-9a-f]*:[0-9a-f]*: //'; }
# Messages span lines: each expected text is looked for in the driver's output as a whole.
printed=$(driver_lines; grep -a -v ':warn:\|:err:\|:fixme:\|:trace:' "$log")
expect() {
    for text in "$@"; do
        grep -a -q -F -- "$text" <<<"$printed" || fail "the driver did not print \"$text\""
    done
}
expect_count() {
    local count
    count=$(grep -a -c -F -- "$2" <<<"$printed")
    [ "$count" -ge "$1" ] || fail "\"$2\" printed $count times, expected at least $1"
}

if grep -a -q -E 'Unhandled (exception|page fault|stack overflow)|wine: Unhandled' "$log"; then
    fail "an unhandled exception in Wine's log:"
    grep -a -m 5 -E 'Unhandled (exception|page fault|stack overflow)|wine: Unhandled' "$log"
fi
if grep -a -E -q ':(warn|err):setupapi' "$log"; then
    fail "SetupAPI complained while installing:"
    grep -a -E -m 5 ':(warn|err):setupapi' "$log"
fi

# The INF's value, as the service key holds it after the installation.
service_level=$(awk '/^\[System\\\\CurrentControlSet\\\\Services\\\\Wrenlok\]/ { inside = 1; next }
    /^\[/ { inside = 0 } inside && /^"DebugLevel"=/ { print; exit }' "$prefix/system.reg")
[ "$service_level" = "\"DebugLevel\"=dword:0000000$level" ] ||
    fail "the service key holds ${service_level:-no DebugLevel}, not the INF's $level"

started=("!!  Bluetooth USB Tranport Layer Driver start  !!"
    "DriverEntry: RegistryPath is \\Registry\\Machine\\System\\CurrentControlSet\\Services\\Wrenlok"
    "DriverEntry completed"
    "TranspAddDevice: DriverObject is "
    "Symbolic Link Name is \\??\\usb#vid_0a12&pid_0001#1#{"
    "TranspPnp MinorFunction is IRP_MN_START_DEVICE"
    "PnpStartDeviceHandler"
    "Getting basic configuration descriptor"
    "Got basic config descr.  MaxPower 50 units of 2mA"
    "Getting full configuration descriptors"
    "Selecting configuration"
    "Select configuration worked"
    "interface Class 224 NumberOfPipes 3"
    "InterruptPipe:"
    "EndpointAddress 81, Interval 1ms, MaximumTransferSize 4096"
    "BulkInPipe:"
    "EndpointAddress 82, Interval 0ms, MaximumTransferSize 4096"
    "BulkOutPipe:"
    "EndpointAddress 02, Interval 0ms, MaximumTransferSize 4096"
    "USBDI version "
    "Getting bus info"
    "Bus info: TotalBandwidth 12000, ConsumedBandwidth 0 and ControllerNameLength 30"
    "Controller name is WrenlokTestBus"
    "Getting descriptor type 03"
    "StringsLen 4 LangIds 1"
    "LangId[0]=0409"
    "TranspCreate"
    "TranspStartThread: Completed"
    "TranspThread: Start")

case $scenario in
start)
    expect "${started[@]}" "TranspThread: Receive buffer is full." "TranspClose" "stop receive-wait." "receive timeout." \
        "URB status C0000004" "TranspThread: USB ERROR."
    # Every close stops both threads; two of the three closes find them running.
    expect_count 4 "TranspThread: Terminate"
    expect_count 6 "TranspStopThread: Completed"
    ;;
quiet)
    lines=$(driver_lines | wc -l)
    [ "$lines" -eq 0 ] || fail "DebugLevel 0 from the INF, yet the driver printed $lines lines"
    ;;
write-timeout)
    expect "${started[@]}" "UsbSendAclData: status 00000102 URB status C0010000"
    ;;
removal)
    expect "${started[@]}" "TranspPnp MinorFunction is IRP_MN_SURPRISE_REMOVAL" "PnpSurpriseRemovalHandler" \
        "PnpStopDevice: All pending I/O completed" "Deselecting configuration" \
        "TranspPnp MinorFunction is IRP_MN_REMOVE_DEVICE" "PnpRemoveDeviceHandler" \
        "!!  Bluetooth USB Tranport layer Driver unload  !!"
    expect_count 2 "PnpRemoveDeviceHandler"
    # Wine refuses requests on a handle whose device was removed under it without passing them to the driver.
    if grep -a -q -F "DeviceIoControl: Control code 00222400" <<<"$printed"; then
        fail "the device control on the removed device reached the driver"
    fi
    ;;
*)
    fail "no scenario $scenario"
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "Wine's log: $log"
    exit 1
fi
# The log and the client's output stay; the prefix is only bulk.
rm -rf "$prefix"
echo "$arch $scenario: $summary, every driver message found, no crash"
