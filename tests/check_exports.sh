#!/bin/sh
# Checks that a built library exports exactly its ten functions (the six and the four of 1.1.0),
# undecorated.
#   check_exports.sh so  libORMA_DLL.so
#   check_exports.sh dll ORMA_DLL.dll [objdump]
set -eu
kind=$1 lib=$2
expected="ORMA_DLL_Exit
ORMA_DLL_Init
ORMA_DLL_Loop
ORMA_DLL_Receive_Message
ORMA_DLL_Receive_Message_Wait
ORMA_DLL_Send_Message
ORMA_DLL_Set_Log_Callback
ORMA_DLL_getComState
ORMA_DLL_getLinkState
ORMA_DLL_getVersion"
case $kind in
so)  actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort) ;;
dll) objdump=${3:-objdump}
     # The name table of the export directory: lines "[ n] name" after "[Ordinal/Name Pointer] Table".
     actual=$("$objdump" -p "$lib" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^\t\[/{print $NF;next} t&&!/^\t\[/{t=0}' | sort) ;;
*)   echo "usage: $0 so|dll LIBRARY [OBJDUMP]" >&2; exit 2 ;;
esac
if [ "$actual" != "$expected" ]; then
  echo "$lib exports:"; echo "$actual"; echo "expected exactly:"; echo "$expected"
  exit 1
fi
echo "$lib exports the ten functions and nothing else"
