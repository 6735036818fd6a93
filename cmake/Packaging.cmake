# Debian packages of the install components, built by CPack's DEB generator
# (cpack -G DEB in the build tree, or scripts/kav package into dist/):
#   libkav-t8-0       runtime     the shared libraries
#   libkav-t8-dev     dev         headers, CMake config, pkg-config, link names
#   kav-t8-tools      tools       kav, kav_demo, kav_arm_sim, kav_bridge, the dashboard page
#   python3-kav-t8    python      the Python package in Debian's dist-packages
#   kav-t8-description description the robot description (architecture all)
# The packages are laid out for the prefix /usr (the default preset's): the
# libraries in the multiarch directory, the Python package in
# /usr/lib/python3/dist-packages.
set(CPACK_GENERATOR DEB)
# cpack packs the tree as built: its install step does not build everything
# first (scripts/kav package builds before; the package test runs after the
# build).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_PACKAGE_NAME kav-t8)
set(CPACK_PACKAGE_VENDOR "kav_t8 developers")
set(CPACK_PACKAGE_CONTACT "kav_t8 developers <kav-t8@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/kav_t8")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Dependencies on other packages' libraries come from dpkg-shlibdeps; our own
# libraries are found in the build tree and named through the component
# dependencies below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/sim ${PROJECT_BINARY_DIR}/bridge)

set(CPACK_COMPONENTS_ALL runtime dev description)
if(TARGET kav)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
if(TARGET kav_t8_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "driver, controller and kinematics of a six-joint arm on SocketCAN (libraries)
The shared libraries of kav_t8: the arm's driver with its 200 Hz control
thread, the kinematics, the simulated arm and the DDS bridge.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "driver, controller and kinematics of a six-joint arm (development files)
Headers, the CMake package kav_t8 (find_package(kav_t8)) and the pkg-config
file kav_t8 for programs that drive the arm through the library.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "command-line tools of a six-joint arm on SocketCAN
kav (monitor, record, teach, play, teleop, plot, sim, serve), kav_demo,
kav_arm_sim and, where built, the ROS 2 bridge kav_bridge, with the
dashboard page kav serve shows.")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python module of a six-joint arm on SocketCAN
The module kav_t8: the arm, its kinematics and the simulated arm from
Python 3.")
set(CPACK_COMPONENT_DESCRIPTION_DESCRIPTION
  "robot description of a six-joint arm with gripper
The URDF file the library, the tools and the Python module load by default.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkav-t8-${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is refreshed by dpkg's ldconfig trigger; the scripts
# stand in for the ones with ldconfig calls CPack writes otherwise.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkav-t8-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kav-t8-tools)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kav-t8)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_DESCRIPTION_PACKAGE_NAME kav-t8-description)
set(CPACK_DEBIAN_DESCRIPTION_PACKAGE_ARCHITECTURE all)

# Inter-package dependencies (exact version: they are built together).
set(CPACK_COMPONENT_DEV_DEPENDS runtime description)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime description)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime description)
# The public headers include Eigen's and KDL's (kav_t8Config.cmake finds them).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libeigen3-dev, liborocos-kdl-dev")
# The compiled module is built for one interpreter version.
if(KAV_PYTHON_VERSION_MINOR)
  math(EXPR kav_python_next "${KAV_PYTHON_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= 3.${KAV_PYTHON_VERSION_MINOR}~), python3 (<< 3.${kav_python_next}), python3-numpy")
endif()
# kav plot runs the Python package's plotting module.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "python3-kav-t8, python3-matplotlib")

# Each package's copyright and changelog (Debian's layout for native packages).
string(TIMESTAMP KAV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME} COMPONENT ${component})
endforeach()

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/remove-rpath.cmake)

include(CPack)
