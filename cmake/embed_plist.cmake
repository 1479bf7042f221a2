# kelmarind_embed_plist(<target> <plist>)
# Places the XML property list <plist> into the ELF section "__info_plist" of
# <target>, where a peer's identity is later read from (readelf -p __info_plist).
function(kelmarind_embed_plist target plist)
  get_filename_component(plist_abs ${plist} ABSOLUTE)
  set(asm ${CMAKE_CURRENT_BINARY_DIR}/${target}_info_plist.S)
  file(WRITE ${asm}
    ".section __info_plist,\"a\",@progbits\n"
    ".incbin \"${plist_abs}\"\n"
    ".section .note.GNU-stack,\"\",@progbits\n")
  set_source_files_properties(${asm} PROPERTIES
    LANGUAGE ASM OBJECT_DEPENDS ${plist_abs})
  enable_language(ASM)
  target_sources(${target} PRIVATE ${asm})
endfunction()
