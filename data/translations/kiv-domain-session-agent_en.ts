<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Notify</name>
    <message>
        <source>该终端将于%1分钟后执行关机操作，请尽快对未保存文件进行保存</source>
        <translation>This terminal will shut down in %1 minutes. Please save your files now.</translation>
    </message>
    <message>
        <source>该终端将于%1分钟后执行重启操作，请尽快对未保存文件进行保存</source>
        <translation>This terminal will restart in %1 minutes. Please save your files now.</translation>
    </message>
    <message>
        <source>通知</source>
        <translation>Notice</translation>
    </message>
</context>
<context>
    <name>TaskInstallNotify</name>
    <message>
        <source>澄屿终端管控平台：</source>
        <translation>Chengyu Terminal Management:</translation>
    </message>
    <message>
        <source>即将安装软件，安装过程可能会关闭当前正在运行的程序</source>
        <translation>Software will be installed soon; installing may close running programs.</translation>
    </message>
    <message>
        <source>立即安装</source>
        <translation>Install now</translation>
    </message>
    <message>
        <source>稍后安装</source>
        <translation>Install later</translation>
    </message>
    <message>
        <source>即将开始软件安装任务“%1”，预计安装时间%2分钟，</source>
        <translation>Software installation task “%1” will start soon and take about %2 minutes. </translation>
    </message>
    <message>
        <source>即将开始软件安装任务“%1”，</source>
        <translation>Software installation task “%1” will start soon. </translation>
    </message>
    <message>
        <source>安装可能关闭当前正在运行的程序，并在安装完成后将重启电脑以避免出现未知问题</source>
        <translation>Installing may close running programs, and the computer will restart afterwards to avoid unknown problems.</translation>
    </message>
    <message>
        <source>安装可能关闭当前正在运行的程序</source>
        <translation>Installing may close running programs.</translation>
    </message>
    <message>
        <source>软件安装提示</source>
        <translation>Software installation</translation>
    </message>
</context>
<context>
    <name>TaskInstallProgress</name>
    <message>
        <source>软件安装进度</source>
        <translation>Installation progress</translation>
    </message>
    <message>
        <source>软件安装任务 “%1” 当前进度：</source>
        <translation>Progress of software installation task “%1”:</translation>
    </message>
</context>
<context>
    <name>TaskRebootNotify</name>
    <message>
        <source>澄屿终端管控平台：</source>
        <translation>Chengyu Terminal Management:</translation>
    </message>
    <message>
        <source>安装已完成， %1 秒后自动重启</source>
        <translation>Installation complete. The computer restarts in %1 seconds.</translation>
    </message>
    <message>
        <source>安装已完成，请重启计算机以完成安装</source>
        <translation>Installation complete. Restart the computer to finish the installation.</translation>
    </message>
    <message>
        <source>立即重启</source>
        <translation>Restart now</translation>
    </message>
    <message>
        <source>重启倒计时</source>
        <translation>Restart count-down</translation>
    </message>
</context>
<context>
    <name>TaskWindow</name>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
</context>
</TS>
