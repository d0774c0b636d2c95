; The comparison installer for the silent-install benchmark: the same payload folder in a
; standard NSIS installer (64-bit Unicode stub, solid LZMA with a 16 MB dictionary), which
; does nothing but extract it. Built by bench/silent_bench.sh:
;   makensis -DPAYLOAD=folder -DOUTFILE=setup.exe bench_setup.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID /FINAL lzma
SetCompressorDictSize 16
Name "Kelo benchmark"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\KeloBench"
RequestExecutionLevel user
SilentInstall silent

Section
  SetOutPath "$INSTDIR"
  File /r "${PAYLOAD}\*.*"
SectionEnd
