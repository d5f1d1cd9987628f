# The programs' pictures as icon files, drawn or converted with ImageMagick:
# the two program icons, the image list's drawn pictures (server, no flag,
# the two lamps, a service) and the flags of the shipped server list (16x11
# pictures centred on a 16x16 icon, with a 32x32 copy for high DPI).
# mdl_make_pictures(OUT_DIR FLAG_DIR CONVERT RESULT_VAR): makes what is
# missing or older than this file; RESULT_VAR gets the resource lines.

set(MDL_FLAG_IMAGES
  40 us 41 ca 42 mx 43 br 44 ar 45 cl 46 de 47 gb 48 ch 49 it 50 es 51 europeanunion
  52 fr 53 za 54 ke 55 eg 56 ng 57 ru 58 tr 59 il 60 id 61 cn 62 hk 63 tw
  64 in 65 th 66 jp 67 kr 68 au 69 nz 70 sg)

set(_sizes -define icon:auto-resize=48,32,24,16)
set(_disc \( -size 256x256 xc:black -fill white -draw "circle 128,128 128,14" \) -alpha off
          -compose CopyOpacity -composite -compose over -fill none -stroke "#142014" -strokewidth 12
          -draw "circle 128,128 128,14")
set(MDL_PICTURE_server -size 256x256 xc:none -fill "#FAFAF0" -stroke "#006E28" -strokewidth 23
    -draw "circle 128,128 128,27" -stroke "#1E1E1E" -strokewidth 20 -draw "line 128,128 128,51"
    -draw "line 128,128 184,148" -stroke none -fill "#C80000" -draw "circle 128,128 128,143" ${_sizes})
set(MDL_PICTURE_client -size 256x256 xc:none -fill "#F0F4FA" -stroke "#1446A0" -strokewidth 23
    -draw "circle 128,128 128,30" -stroke "#14141E" -strokewidth 18 -draw "line 128,128 84,102"
    -strokewidth 13 -draw "line 128,128 179,77" -stroke white -strokewidth 8 -fill "#00963C"
    -draw "polygon 251,159 184,251 159,169" ${_sizes})
set(MDL_PICTURE_led_on -size 256x256 "radial-gradient:#C8FFB4-#007800" ${_disc} ${_sizes})
set(MDL_PICTURE_led_off -size 256x256 "radial-gradient:#96A096-#232D23" ${_disc} ${_sizes})
set(MDL_PICTURE_service -size 256x256 xc:none -fill "#788CAF" -stroke "#28324A" -strokewidth 10
    -draw "roundrectangle 20,56 236,200 26,26" -strokewidth 18 -draw "line 56,108 148,108"
    -draw "line 56,148 148,148" -stroke none -fill "#28DC28" -draw "circle 195,128 195,108" ${_sizes})
set(MDL_PICTURE_globe -size 256x256 xc:none -fill "#6EAAE6" -stroke "#14468C" -strokewidth 15
    -draw "circle 128,128 128,26" -fill none -strokewidth 13 -draw "ellipse 128,128 46,102 0,360"
    -draw "line 26,128 230,128" ${_sizes})

function(_mdl_picture convert out)
  if(EXISTS ${out} AND ${out} IS_NEWER_THAN ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
    return()
  endif()
  execute_process(COMMAND ${convert} ${ARGN} ${out} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${convert} could not make ${out}: ${err}")
  endif()
endfunction()

function(mdl_make_pictures out_dir flag_dir convert result_var)
  file(MAKE_DIRECTORY ${out_dir})
  foreach(name server client led_on led_off service globe)
    _mdl_picture(${convert} ${out_dir}/${name}.ico ${MDL_PICTURE_${name}})
  endforeach()
  # Image numbers of the drawn pictures; the server's is the program icon's.
  set(lines "MDL_IDI_IMAGE_BASE+1 ICON \"${out_dir}/server.ico\"\n")
  string(APPEND lines "MDL_IDI_IMAGE_BASE+2 ICON \"${out_dir}/globe.ico\"\n")
  string(APPEND lines "MDL_IDI_IMAGE_BASE+33 ICON \"${out_dir}/led_off.ico\"\n")
  string(APPEND lines "MDL_IDI_IMAGE_BASE+34 ICON \"${out_dir}/led_on.ico\"\n")
  string(APPEND lines "MDL_IDI_IMAGE_BASE+35 ICON \"${out_dir}/service.ico\"\n")
  set(missing "")
  set(pairs ${MDL_FLAG_IMAGES})
  while(pairs)
    list(POP_FRONT pairs number cc)
    set(png ${flag_dir}/${cc}.png)
    if(NOT EXISTS ${png})
      list(APPEND missing ${cc})
      continue()
    endif()
    _mdl_picture(${convert} ${out_dir}/flag_${cc}.ico ${png} -background none -gravity center -extent 16x16
                 "(" ${png} -filter point -resize 200% -background none -gravity center -extent 32x32 ")")
    string(APPEND lines "MDL_IDI_IMAGE_BASE+${number} ICON \"${out_dir}/flag_${cc}.ico\"\n")
  endwhile()
  if(missing)
    message(WARNING "flag pictures missing in ${flag_dir} (install famfamfam-flag-png): ${missing}; "
                    "those entries show a globe")
  endif()
  set(${result_var} "${lines}" PARENT_SCOPE)
endfunction()
