<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Änderungsprotokoll</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Wird geladen...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Das Änderungsprotokoll konnte nicht geladen werden.</translation>
    </message>
</context>
<context>
    <name>Configuration</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Update-Server hat eine ungültige Versionsnummer geliefert (%1)</translation>
    </message>
</context>
<context>
    <name>MainTaskSpecification</name>
    <message>
        <source>Version %1 is older than the installed version %2; it is not installed. To allow this, set allowDowngrade=true in group [update] of update.ini.</source>
        <translation>Version %1 ist älter als die installierte Version %2 und wird nicht installiert. Um dies zu erlauben, setzen Sie allowDowngrade=true in der Gruppe [update] von update.ini.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quillon 3 Client Update</source>
        <translation>Quillon 3 Client-Aktualisierung</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Änderungen anzeigen</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Aktualisierung starten</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabil</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Quillon %1</source>
        <translation>Aktualisierung auf Quillon %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie verwenden derzeit den Kanal &lt;strong&gt;%1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Die Aktualisierung läuft.&lt;/p&gt;&lt;p&gt;Wollen Sie sie wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>%1 KB / %2 KB</source>
        <translation>%1 KB / %2 KB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>Start Quillon</source>
        <translation>Quillon starten</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Die Gründe zeigt &quot;Details&quot;.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Klicken, um &quot;%1://%2&quot; zu öffnen</translation>
    </message>
    <message>
        <source>Proxy login</source>
        <translation>Anmeldung am Proxy</translation>
    </message>
    <message>
        <source>The proxy %1 asks for a user name and password.</source>
        <translation>Der Proxy %1 verlangt einen Benutzernamen und ein Passwort.</translation>
    </message>
    <message>
        <source>User name:</source>
        <translation>Benutzername:</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>Passwort:</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die neueste Client-Version konnte nicht
vom Update-Server abgefragt werden.</translation>
    </message>
</context>
<context>
    <name>ManifestDownloadTaskSpecification</name>
    <message>
        <source>Version %1 has no release manifest, but this installation was updated from a release with one.</source>
        <translation>Version %1 hat kein Release-Manifest, diese Installation wurde aber aus einem Release mit Manifest aktualisiert.</translation>
    </message>
    <message>
        <source>The release manifest of version %1 has an invalid signature.</source>
        <translation>Das Release-Manifest der Version %1 hat eine ungültige Signatur.</translation>
    </message>
    <message>
        <source>The release manifest of version %1 is malformed (%2).</source>
        <translation>Das Release-Manifest der Version %1 ist fehlerhaft (%2).</translation>
    </message>
    <message>
        <source>The release manifest is for the update type %1, not %2.</source>
        <translation>Das Release-Manifest gilt für den Update-Typ %1, nicht für %2.</translation>
    </message>
    <message>
        <source>The release manifest is for version %1, not %2.</source>
        <translation>Das Release-Manifest gilt für Version %1, nicht für %2.</translation>
    </message>
    <message>
        <source>The product ini does not match the release manifest of version %1.</source>
        <translation>Die Produkt-INI passt nicht zum Release-Manifest der Version %1.</translation>
    </message>
    <message>
        <source>The update information for version %1 is out of date: it expired on %2. Try again later; if this persists, tell the publisher.</source>
        <translation>Die Update-Informationen für Version %1 sind veraltet: Sie sind am %2 abgelaufen. Versuchen Sie es später erneut; wenn das so bleibt, benachrichtigen Sie den Herausgeber.</translation>
    </message>
    <message>
        <source>The release is refused; nothing was changed.</source>
        <translation>Das Release wird abgelehnt; es wurde nichts geändert.</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>Alpha parameter in channel section in update ini file not found</source>
        <translation>Der Alpha-Parameter fehlt im Abschnitt Channel der Datei update.ini</translation>
    </message>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Es sind keine (weiteren) funktionierenden Mirror-Server bekannt</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Mirror-Server %1 ist zu oft ausgefallen und wird entfernt</translation>
    </message>
</context>
</TS>
