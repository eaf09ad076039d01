# Sanitizers apply to the whole tree so that libraries, tools and tests agree.
if(TARVIK_SANITIZE)
  string(REPLACE ";" "," _san "${TARVIK_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
endif()
