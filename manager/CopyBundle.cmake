# Copies the default files of the bundle folder: cmake -DSOURCE=<resources> -DDEST=<folder> -P
file(MAKE_DIRECTORY ${DEST}/data)
foreach(name hvps.config mime.types data/space-db data/disk-usage)
  if(EXISTS ${SOURCE}/${name})
    file(COPY_FILE ${SOURCE}/${name} ${DEST}/${name} ONLY_IF_DIFFERENT)
  endif()
endforeach()
