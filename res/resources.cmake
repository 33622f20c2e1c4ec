# Attaches the icon and the manifest to the executable (filled in below).
function(tusak_add_resources target)
endfunction()
