#!/usr/bin/env python3
"""Writes the three winget manifests (schema 1.12.0) of a release archive,
named as the winget-pkgs repository names them:

    scripts/write-winget.py DIR ARCHIVE OWNER/NAME TAG DATE

DIR/<id>.yaml (version), DIR/<id>.installer.yaml and DIR/<id>.locale.en-US.yaml,
where <id> is OWNER.morvane-boost. The installer is the archive at the
repository's release download for TAG, installed machine-wide (under Program
Files, where only administrators can change the file that the relay
elevates) as two portable commands. Every version is quoted, so that YAML
reads it as text ("1.10" is not the number 1.1)."""
import hashlib
import os
import sys

MANIFEST_VERSION = "1.12.0"
DESCRIPTION = ("Raises a running process's GPU scheduling class to realtime, then its CPU class "
               "to high with power throttling off, or puts all three back.")


def main(folder, archive, repo, tag, date):
    owner, name = repo.split("/")
    identifier = f"{owner}.morvane-boost"
    version = tag[1:] if tag.startswith("v") else tag
    with open(archive, "rb") as file:
        digest = hashlib.sha256(file.read()).hexdigest().upper()
    common = f'PackageIdentifier: {identifier}\nPackageVersion: "{version}"\n'
    tail = f'ManifestVersion: "{MANIFEST_VERSION}"\n'
    url = f"https://github.com/{repo}"
    manifests = {
        f"{identifier}.yaml": common + "DefaultLocale: en-US\nManifestType: version\n" + tail,
        f"{identifier}.installer.yaml": common + (
            "InstallerType: zip\n"
            "NestedInstallerType: portable\n"
            "NestedInstallerFiles:\n"
            "  - RelativeFilePath: morvane-boost.exe\n"
            "    PortableCommandAlias: morvane-boost\n"
            "  - RelativeFilePath: morvane-boost-check.exe\n"
            "    PortableCommandAlias: morvane-boost-check\n"
            "Scope: machine\n"
            f'ReleaseDate: "{date}"\n'
            "Installers:\n"
            "  - Architecture: x64\n"
            f"    InstallerUrl: {url}/releases/download/{tag}/{os.path.basename(archive)}\n"
            f"    InstallerSha256: {digest}\n"
            "ManifestType: installer\n") + tail,
        f"{identifier}.locale.en-US.yaml": common + (
            "PackageLocale: en-US\n"
            f"Publisher: {owner}\n"
            "PackageName: morvane-boost\n"
            f"PackageUrl: {url}\n"
            "License: MIT\n"
            f"LicenseUrl: {url}/blob/{tag}/LICENSE\n"
            f"ShortDescription: {DESCRIPTION}\n"
            "ManifestType: defaultLocale\n") + tail,
    }
    os.makedirs(folder, exist_ok=True)
    for file_name, text in manifests.items():
        header = f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{text.split('ManifestType: ')[1].split()[0]}.{MANIFEST_VERSION}.schema.json\n"
        with open(os.path.join(folder, file_name), "w", newline="\n") as file:
            file.write(header + text)


if __name__ == "__main__":
    main(*sys.argv[1:])
