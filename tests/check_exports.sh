#!/usr/bin/env bash
# Checks the dynamic symbol table of libpowerquality.so: every flat function
# and exported global under its plain name, the exported classes present, and
# no symbol that is not the library's own.
set -euo pipefail
library="$1"
names="$2"
symbols=$(nm -D --defined-only "$library")
status=0
while read -r name; do
  [ -n "$name" ] || continue
  if ! grep -q -E "^[0-9a-f]+ [TDB] ${name}\$" <<<"$symbols"; then
    echo "missing undecorated export: $name"
    status=1
  fi
done <"$names"
demangled=$(nm -D --defined-only "$library" | c++filt | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')
for class in 'PowerModule::PowerModule()' 'PowerModule::PowerModuleImpl::' 'PowerConfig::' 'PowerGridConfig::PowerGridConfig(' \
             'PowerBuffers::' 'GpuBufferItems::' 'GpuBuffer<float>::' 'GpuBuffer<double>::' \
             'GpuBuffer<std::complex<float> >::' 'GpuBuffer<std::complex<double> >::' \
             'GpuBuffer<PowerResultsGeneral>::' 'GpuBuffer<PowerResultsPeriod>::' 'GpuBuffer<PowerResultsThd>::' \
             'GpuBuffer<RvcResult>::' 'PowerResultsQueueItem::' 'PowerPeriodResultsQueueItem::' \
             'PowerSymmetricalComponents::a' 'RvcPhaseCalculation::' 'RvcMultiPhaseCalculation::' 'VoltageEventDetector::' \
             'GpuException::' 'PowerErrorTooManyResults::' 'powerGridConfigs' \
             'FrequencyTracker::FrequencyTracker(' 'IntervalAggregator::IntervalAggregator(' \
             'RapidVoltageChangeDetector::RapidVoltageChangeDetector(' 'FlickerMeter::FlickerMeter('; do
  if ! grep -q -F "$class" <<<"$demangled"; then
    echo "missing export: $class"
    status=1
  fi
done
foreign=$(grep -v -E '^(typeinfo|typeinfo name|vtable|VTT) for (GpuException|PowerErrorTooManyResults)$' <<<"$demangled" |
  grep -v -E '^(PowerModule::|PowerConfig::|PowerGridConfig::|PowerBuffers::|GpuBuffer|PowerResultsQueueItem::|PowerPeriodResultsQueueItem::|PowerSymmetricalComponents::|RvcPhaseCalculation::|RvcMultiPhaseCalculation::|VoltageEventDetector::|GpuException::|PowerErrorTooManyResults::|FrequencyTracker::|IntervalAggregator::|RapidVoltageChangeDetector::|FlickerMeter::|powerGridConfigs$)' |
  grep -v -x -F -f "$names" || true)
if [ -n "$foreign" ]; then
  echo "symbols that are not the library's own:"
  echo "$foreign"
  status=1
fi
[ $status -eq 0 ] && echo "exports: $(wc -l <"$names") flat names and every exported class present, nothing foreign"
exit $status
