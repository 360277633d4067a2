# make package: Debian packages of kv830-host for amd64 and armhf (cross-built), each
# checked by lintian. make package-check also installs the amd64 package, runs it from
# /usr/bin, purges it, and runs the armhf program under qemu-arm from the unpacked package.
PKG_BUILD ?= build-pkg
PKG_ARMHF_BUILD ?= build-pkg-armhf
PKG_DEPS = lintian dpkg-dev file man-db logrotate
# Debian's hardening flags (fortified functions, stack protector, read-only relocations).
# The flags are those of the architecture built for (x86-only ones stay out of armhf).
pkg_flags = -DCMAKE_CXX_FLAGS="$$(DEB_HOST_ARCH=$(1) dpkg-buildflags --get CPPFLAGS) $$(DEB_HOST_ARCH=$(1) dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$$(DEB_HOST_ARCH=$(1) dpkg-buildflags --get LDFLAGS) -Wl,-z,now" \
        -DCMAKE_SHARED_LINKER_FLAGS="$$(DEB_HOST_ARCH=$(1) dpkg-buildflags --get LDFLAGS) -Wl,-z,now"
# Every library the programs link, as armhf -dev packages: their pkg-config files are the
# armhf ones (cmake/armhf.cmake), and dpkg-shlibdeps reads the armhf libraries' symbols
# files to write the package's Depends. The page's generator is an armhf program too,
# run at build time through qemu-arm (CMAKE_CROSSCOMPILING_EMULATOR).
PKG_ARMHF_DEPS = qemu-user g++-arm-linux-gnueabihf libc6-dev:armhf libjsoncpp-dev:armhf \
        libboost-date-time-dev:armhf libmodbus-dev:armhf libsqlite3-dev:armhf \
        libmosquitto-dev:armhf zlib1g-dev:armhf libzstd-dev:armhf

.PHONY: package package-amd64 package-armhf package-check

package: package-amd64 package-armhf

package-amd64: deps
	@./scripts/ensure-deps.sh $(PKG_DEPS)
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON -DKV830_TESTS=OFF \
	    -DKV830_PACKAGE=ON $(call pkg_flags,amd64) $(CMAKE_FLAGS)
	cmake --build $(PKG_BUILD) -j$(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB
	./scripts/check-package.sh lint $(PKG_BUILD)/*.deb

package-armhf:
	@dpkg --print-foreign-architectures | grep -qx armhf || $(SUDO) dpkg --add-architecture armhf
	@./scripts/ensure-deps.sh cmake make pkg-config $(PKG_DEPS) $(PKG_ARMHF_DEPS)
	cmake -S . -B $(PKG_ARMHF_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/armhf.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON -DKV830_TESTS=OFF -DKV830_PACKAGE=ON $(call pkg_flags,armhf)
	cmake --build $(PKG_ARMHF_BUILD) -j$(JOBS)
	cd $(PKG_ARMHF_BUILD) && cpack -G DEB
	./scripts/check-package.sh lint $(PKG_ARMHF_BUILD)/*.deb

package-check: package
	./scripts/check-package.sh install $(PKG_BUILD)/*.deb
	./scripts/check-package.sh qemu $(PKG_ARMHF_BUILD)/*.deb
