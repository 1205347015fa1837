object Main: TMain
  Left = 0
  Top = 0
  BorderIcons = [biSystemMenu, biMinimize]
  BorderStyle = bsSingle
  Caption = 'Triebklang'
  ClientHeight = 105
  ClientWidth = 337
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Position = poScreenCenter
  OnCreate = FormCreate
  OnDestroy = FormDestroy
  object GroupBox1: TGroupBox
    Left = 8
    Top = 4
    Width = 321
    Height = 93
    Caption = ' TCP-Verbindung '
    TabOrder = 0
    object laServer: TLabel
      Left = 8
      Top = 28
      Caption = 'Server:'
    end
    object laPort: TLabel
      Left = 8
      Top = 60
      Caption = 'Port:'
    end
    object edServer: TEdit
      Left = 64
      Top = 24
      Width = 134
      Height = 21
      Text = 'localhost'
      TabOrder = 0
    end
    object cbPort: TComboBox
      Left = 64
      Top = 56
      Width = 134
      Height = 21
      Text = '1435'
      Items.Strings = (
        '1435')
      TabOrder = 1
    end
    object btnConnect: TButton
      Left = 208
      Top = 56
      Width = 105
      Height = 23
      Caption = 'Verbinden'
      TabOrder = 3
      OnClick = btnConnectClick
    end
    object cbOnTop: TCheckBox
      Left = 208
      Top = 28
      Width = 97
      Height = 17
      Caption = 'Im Vordergrund'
      TabOrder = 2
      OnClick = cbOnTopClick
    end
  end
  object CliSocket: TEventSocket
    Proto = 'tcp'
    MultiThreaded = False
    LingerOnOff = wsLingerOn
    LingerTimeout = 0
    OnDataAvailable = CliSocketDataAvailable
    OnSessionClosed = CliSocketSessionClosed
    OnSessionConnected = CliSocketSessionConnected
  end
  object CliSocketBuffer: TCiaBuffer
    InitialSize = 4096
    SwapLen = False
    OnReceived = CliSocketBufferReceived
  end
end
