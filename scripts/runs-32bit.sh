#!/usr/bin/env bash
# Says (by its status) whether this machine's kernel runs 32-bit x86 programs. It writes and runs a
# 96-byte 32-bit ELF program that only exits with status 42, so the answer needs no i386 package and
# no 32-bit toolchain: a kernel without IA-32 emulation refuses it with "Exec format error".
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
probe=$dir/probe32
{
  # ELF header: 32-bit, little-endian, executable for i386, entry 0x08048054, one program header.
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000'
  printf '\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'
  # Program header: one loadable, readable and executable segment of the whole 96 bytes at 0x08048000.
  printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'
  printf '\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'
  # mov eax, 1 (exit); mov ebx, 42; int 0x80
  printf '\270\001\000\000\000\273\052\000\000\000\315\200'
} > "$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
[ $? -eq 42 ]
