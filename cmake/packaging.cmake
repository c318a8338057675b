# Installation rules and the Debian packages.
#
#   cmake --install build/release --component servidor [--prefix /usr]
#   (cd build/release && cpack)        # one .deb per component, in build/release/
#
# Components: "servidor" -> package assinador-nfse (the server without a window, the
# command-line signer, the example INI file and the systemd user unit); "gui" ->
# package assinador-nfse-gui (the tray program adds its own install rules with COMPONENT gui;
# CPack takes the components known when it is included, so those rules come before this file,
# which CMakeLists.txt includes last).

include(GNUInstallDirs)

# Installing (and cpack) builds only what it installs; the test programs and benchmarks stay
# out of a package build. Build the installed targets first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(ASSINADOR_PACKAGE_NAME assinador-nfse)

install(TARGETS assinador-nfsed assinador-nfse-cli
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT servidor)
# The INI file the user unit copies on its first start; not under doc/, which minimal systems
# may leave out, since the service needs it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/assinador-nfsed.ini
  DESTINATION ${CMAKE_INSTALL_DATADIR}/${ASSINADOR_PACKAGE_NAME} COMPONENT servidor)
set(ASSINADOR_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${ASSINADOR_PACKAGE_NAME})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${ASSINADOR_DOCDIR} COMPONENT servidor)
# The example for several servers behind HAProxy (README, "Vários servidores"): read on the
# balancer's machine, which need not run a server, so it is documentation.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/haproxy/assinador-nfse.cfg
  DESTINATION ${ASSINADOR_DOCDIR}/examples/haproxy COMPONENT servidor)

# Manual pages, in the packages of their programs; uncompressed, as the rest of the packages'
# documentation (man reads them either way).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/assinador-nfsed.1
  ${PROJECT_SOURCE_DIR}/packaging/man/assinador-nfse-cli.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT servidor)
if(ASSINADOR_GUI)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/assinador-nfse.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
endif()

# The unit names the installed files by their full paths, which are known only when installing
# (cmake --install --prefix, or the package's /usr): it is written then.
set(ASSINADOR_UNIT_TEMPLATE ${PROJECT_SOURCE_DIR}/packaging/assinador-nfsed.service.in)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(ASSINADOR_BINDIR \"\${prefix}/${CMAKE_INSTALL_BINDIR}\")
  set(ASSINADOR_EXAMPLE_INI \"\${prefix}/${CMAKE_INSTALL_DATADIR}/${ASSINADOR_PACKAGE_NAME}/assinador-nfsed.ini\")
  set(ASSINADOR_DOCDIR \"\${prefix}/${ASSINADOR_DOCDIR}\")
  set(unit \"\$ENV{DESTDIR}\${prefix}/lib/systemd/user/assinador-nfsed.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${ASSINADOR_UNIT_TEMPLATE}\" \"\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
" COMPONENT servidor)

# Packages: the installed tree under /usr, made with DESTDIR so that the unit above sees the
# final prefix rather than the staging folder.
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME ${ASSINADOR_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Assinador NFS-e")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Equipe do Assinador NFS-e <assinador-nfse@localhost>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_STRIP_FILES ON)
# Library dependencies (libxmlsec1-openssl, libxml2, libssl3, zlib1g...) found by
# dpkg-shlibdeps (dpkg-dev) in the installed programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_SERVIDOR_PACKAGE_NAME ${ASSINADOR_PACKAGE_NAME})
set(CPACK_DEBIAN_SERVIDOR_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVIDOR_DESCRIPTION
  "servidor de assinatura digital de NFS-e (XML-DSig)
Servidor residente que assina documentos XML de Nota Fiscal de Serviço eletrônica
(NFS-e) com assinatura XML-DSig envelopada, usando os certificados digitais do
repositório pessoal do usuário. Programas fiscais da rede chamam o servidor por TCP
(protocolo de métodos remotos com compressão zlib) para listar os certificados e
assinar documentos.

Este pacote traz o servidor sem janela assinador-nfsed, com um serviço de usuário do
systemd (systemctl --user enable --now assinador-nfsed), e o assinador de linha de
comando assinador-nfse-cli.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME ${ASSINADOR_PACKAGE_NAME}-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_GUI_DESCRIPTION
  "gerenciador de assinatura de NFS-e na área de notificação
Programa de bandeja do servidor de assinatura de NFS-e: inicia o servidor na porta do
seu arquivo de configuração, mostra se ele está em execução e permite pará-lo,
iniciá-lo e trocar a porta.")

include(CPack)
